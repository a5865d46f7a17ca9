#include "shell/uptime.h"

#include <atomic>
#include <cstdlib>

#include "api/server_calls.h"
#include "platform/clock.h"
#include "shell/json_output.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

std::atomic<std::int64_t>& StartTime() {
  static std::atomic<std::int64_t> start{platform::SystemClock().UnixMilliseconds()};
  return start;
}

// Read once during static initialisation, so that the default is the moment the process
// started rather than the first uptime command.
[[maybe_unused]] const bool kStartTimeInitialised = (StartTime(), true);

}  // namespace

std::u16string MakeUptimeString(std::int32_t days, std::int32_t hours, std::int32_t minutes) {
  std::u16string result;
  if (days != 0) result += text::IntToStr(days) + u" days, ";
  if (hours != 0) result += text::IntToStr(hours) + u" hours, ";
  result += text::IntToStr(minutes) + u" minutes";
  return result;
}

std::u16string MakeUptimeString(std::int64_t milliseconds) {
  // A start in the future (a clock that was set back) counts whole days toward zero and
  // shows the hours and minutes of the rest without a sign.
  const std::int64_t days = milliseconds / kDay;
  const std::int64_t rest = std::llabs(milliseconds) % kDay;
  return MakeUptimeString(static_cast<std::int32_t>(days), static_cast<std::int32_t>(rest / kHour),
                          static_cast<std::int32_t>(rest % kHour / kMinute));
}

void SetUptimeStart(std::int64_t unixMilliseconds) {
  StartTime().store(unixMilliseconds);
}

void SetUptimeStart() {
  SetUptimeStart(platform::UnixMillisecondsNow());
}

std::int64_t UptimeStart() {
  return StartTime().load();
}

namespace {

// One uptime of the document: since when, how many seconds, and the text the line shows.
json::JsonValue UptimeJson(std::int64_t startUnixMilliseconds, std::int64_t upMilliseconds) {
  json::JsonValue uptime = json::JsonValue::MakeObject();
  uptime.Put(u"since", JsonTime(startUnixMilliseconds / 1000));
  uptime.PutInt(u"seconds", upMilliseconds / 1000);
  uptime.Put(u"text", JsonText(MakeUptimeString(upMilliseconds)));
  return uptime;
}

}  // namespace

void Uptime(telnet::Session& session, const std::u16string& commandline) {
  // Both uptimes are measured between instants, so a change of daylight-saving time between
  // start and now does not move them by an hour.
  const auto serverStart = static_cast<std::uint32_t>(api::IPS_GetKernelStartTime());
  const std::int64_t now = platform::UnixMillisecondsNow();
  const std::int64_t serverStartMs = static_cast<std::int64_t>(serverStart) * 1000;
  const std::int64_t serverUp = now - serverStartMs;
  const std::int64_t serviceUp = now - UptimeStart();
  // The full day count, like the two lines above: a host up for 31 days shows 31 days.
  const auto hostUp = static_cast<std::int64_t>(platform::GetTickCount64());

  if (TakeJsonOption(commandline).requested) {
    json::JsonValue document = json::JsonValue::MakeObject();
    document.Put(u"server", UptimeJson(serverStartMs, serverUp));
    document.Put(u"velmar", UptimeJson(UptimeStart(), serviceUp));
    document.Put(u"host", UptimeJson(now - hostUp, hostUp));
    WriteJson(session, document);
    return;
  }
  session.WriteLn(u"IPS: " + MakeUptimeString(serverUp));
  session.WriteLn(u"Velmar: " + MakeUptimeString(serviceUp));
  session.WriteLn(u"Velmar Server: " + MakeUptimeString(hostUp));
}

}  // namespace velmar::shell
