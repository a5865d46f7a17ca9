#include "shell/ping.h"

#include <cstdint>
#include <exception>

#include "core/error.h"
#include "platform/clock.h"
#include "platform/name_resolution.h"
#include "shell/icmp.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

constexpr int kAttempts = 4;
constexpr std::int32_t kPauseMilliseconds = 1000;
constexpr std::uint32_t kEchoTimeOutMilliseconds = 2000;

std::u16string Ascii(const std::string& text) {
  return text::CodePageToUnicode(text);
}

}  // namespace

bool isValidIP(std::u16string_view ipAddr) {
  std::size_t pos = 0;
  unsigned sum = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= ipAddr.size() || ipAddr[pos] != u'.') return false;
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < ipAddr.size() && ipAddr[pos] >= u'0' && ipAddr[pos] <= u'9') {
      // Once above 255 the group is invalid however many digits follow; stop growing.
      if (value <= 255) value = value * 10 + static_cast<unsigned>(ipAddr[pos] - u'0');
      ++pos;
    }
    if (pos == start || value > 255) return false;
    sum += value;
  }
  return pos == ipAddr.size() && sum > 0;
}

std::string NameToIPAddr(const std::string& hostname) {
  const platform::IPv4Resolution r = platform::ResolveIPv4(hostname);
  if (r.status != platform::ResolveStatus::Resolved) return {};
  return platform::FormatIPv4(r.address);
}

void Ping(telnet::Session& session, const std::u16string& commandline) {
  const std::u16string host = text::GetObjectFromCommandline(commandline);
  const std::string hostBytes = text::UnicodeToCodePage(host);
  bool answered = false;
  try {
    const std::u16string ip = isValidIP(host) ? host : Ascii(NameToIPAddr(hostBytes));
    for (int n = 0; n < kAttempts; ++n) {
      session.delay(kPauseMilliseconds);
      // Switched off or hung up during the pause: nobody is left to answer to.
      if (!session.client().Connected()) return;
      if (session.Interrupted()) return;  // stopped by the user: not a failure
      const std::uint32_t tick = platform::GetTickCount();
      // The echo resolves the host text anew, as typed; `ip` is only what the lines show.
      if (icmp::Ping(hostBytes, kEchoTimeOutMilliseconds)) {
        const std::uint32_t took = platform::GetTickCount() - tick;
        session.WriteLn(u"  Answer from " + ip + u" in " + text::IntToStr(took) + u"ms.");
        answered = true;
      } else {
        session.WriteLn(u"  No answer from " + ip);
      }
    }
  } catch (const std::exception& e) {
    // A write to a connection that is gone cannot report anything either.
    if (!session.client().Connected()) throw;
    session.Fail(u"Exception: " + text::Utf8ToUtf16(e.what()));
    return;
  }
  // As ping(8): a host that never answered is a failure, one that answered once is not.
  if (!answered) session.Fail();
}

}  // namespace velmar::shell
