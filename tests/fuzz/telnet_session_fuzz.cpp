// Feeds arbitrary client bytes through a shell session over a socket pair: line input,
// cleanup and dispatch, with the help command, a command that echoes its line and unknown
// words. Checks that every line read obeys the line-input rules, that cleanup leaves only
// what a command may hold, that the stream decoder keeps the same characters as the
// one-shot decoder, and that the session answers every line as the dispatch rules say:
// one prompt per cycle, "Command unknown" for an unknown word, nothing for a blank line,
// the line itself for the echo command, the farewell as the last thing sent for an exit
// word, and only well-formed UTF-8 throughout.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/error.h"
#include "shell/help.h"
#include "telnet/connection.h"
#include "telnet/line_input.h"
#include "telnet/session.h"
#include "telnet/utf8_stream.h"
#include "text/encoding.h"

namespace {

using namespace velmar;

void check(bool condition) {
  if (!condition) std::abort();
}

void checkLineRules(const uint8_t* data, size_t size) {
  telnet::Utf8StreamDecoder decoder;
  telnet::LineAssembler assembler;
  std::u16string decoded;
  bool startup = true;
  for (size_t i = 0; i < size; ++i) {
    decoded.clear();
    decoder.feed(data[i], decoded);
    for (const char16_t c : decoded) {
      if (!assembler.put(c)) continue;
      const std::u16string line = assembler.take();
      check(line.size() <= telnet::kMaxLineLength + telnet::kTabWidth);
      for (const char16_t ch : line) check(ch != u'\r' && ch != u'\n' && ch != 0x1b);
      const std::u16string clean = telnet::cleanup(line, startup);
      startup = false;
      for (size_t k = 0; k < clean.size(); ++k) {
        const char16_t ch = clean[k];
        check(ch >= 32 && ch != 126 && ch != 127 && !(ch >= 0x80 && ch <= 0x9F) && ch != 0xFFFD);
        if (ch >= 0xD800 && ch <= 0xDBFF) {
          check(k + 1 < clean.size() && clean[k + 1] >= 0xDC00 && clean[k + 1] <= 0xDFFF);
          ++k;
        } else {
          check(!(ch >= 0xDC00 && ch <= 0xDFFF));
        }
      }
    }
  }
  // The stream decoder and the one-shot decoder may split bad input into different numbers
  // of U+FFFD, but they must keep exactly the same well-formed characters.
  telnet::Utf8StreamDecoder fresh;
  std::u16string streamed;
  for (size_t i = 0; i < size; ++i) fresh.feed(data[i], streamed);
  fresh.flush(streamed);
  std::u16string whole =
      text::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
  std::erase(streamed, u'\uFFFD');
  std::erase(whole, u'\uFFFD');
  check(streamed == whole);
}

// What the session must answer to one command line.
enum class Reply { kNothing, kUnknown, kEcho, kHelp, kExit };

struct Cycle {
  Reply reply;
  std::u16string commandline;  // after cleanup and trimming
};

// The cycles the session runs for the input: one per completed line, up to and including
// the first exit word.
std::vector<Cycle> expectedCycles(const uint8_t* data, size_t size) {
  telnet::Utf8StreamDecoder decoder;
  telnet::LineAssembler assembler;
  std::vector<Cycle> cycles;
  std::u16string decoded;
  for (size_t i = 0; i < size; ++i) {
    decoded.clear();
    decoder.feed(data[i], decoded);
    for (const char16_t c : decoded) {
      if (!assembler.put(c)) continue;
      std::u16string line = telnet::cleanup(assembler.take(), cycles.empty());
      // Cleanup leaves no control characters, so trimming removes spaces only.
      const size_t first = line.find_first_not_of(u' ');
      line = first == std::u16string::npos
                 ? u""
                 : line.substr(first, line.find_last_not_of(u' ') - first + 1);
      std::u16string word = line.substr(0, line.find(u' '));
      for (char16_t& ch : word)
        if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - u'a' + u'A');
      Reply reply = Reply::kUnknown;
      if (word.empty())
        reply = Reply::kNothing;
      else if (word == u"EXIT" || word == u"LOGOUT" || word == u"BYE")
        reply = Reply::kExit;
      else if (word == u"HELP")
        reply = Reply::kHelp;
      else if (word == u"ECHO" || word == u"CD" || word == u"CD..")
        reply = Reply::kEcho;
      cycles.push_back({reply, line});
      if (reply == Reply::kExit) return cycles;
    }
  }
  return cycles;
}

constexpr std::string_view kPrompt = "\x1b[36;1mIP-Symcon>\x1b[0m";
constexpr std::string_view kFarewell = "Disconnecting... Have a nice day!\r\n";

// `received` cut at every prompt: the greeting, then what follows each prompt.
std::vector<std::string_view> splitAtPrompts(std::string_view received) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = received.find(kPrompt);
    parts.push_back(received.substr(0, at));
    if (at == std::string_view::npos) return parts;
    received.remove_prefix(at + kPrompt.size());
  }
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

void checkReplies(const std::vector<Cycle>& cycles, const std::string& received) {
  const bool exits = !cycles.empty() && cycles.back().reply == Reply::kExit;
  // One prompt per cycle, and one more for the read that meets the end of input.
  const size_t prompts = cycles.size() + (exits ? 0 : 1);
  const std::vector<std::string_view> parts = splitAtPrompts(received);
  check(parts.size() == prompts + 1);
  check(startsWith(parts[0], "Welcome to the IPS Terminal Server powered by Velmar v"));
  check(endsWith(parts[0], "Type \"help\" if you need assistance.\r\n"));
  for (size_t i = 0; i < cycles.size(); ++i) {
    std::string_view output = parts[i + 1];
    // Every prompt after the first stands on a line of its own.
    if (i + 1 < prompts) {
      check(endsWith(output, "\r\n"));
      output.remove_suffix(2);
    }
    switch (cycles[i].reply) {
      case Reply::kNothing:
        check(output.empty());
        break;
      case Reply::kUnknown:
        check(output == "Command unknown\r\n");
        break;
      case Reply::kExit:
        check(output == kFarewell);
        break;
      case Reply::kHelp:
        check(!output.empty());
        break;
      case Reply::kEcho:
        check(startsWith(output, text::Utf16ToUtf8(cycles[i].commandline)));
        check(endsWith(output, "\r\n"));
        break;
    }
  }
  if (!exits) check(parts.back().empty());
}

const std::shared_ptr<const telnet::SessionConfig>& config() {
  static const auto instance = [] {
    auto c = std::make_shared<telnet::SessionConfig>();
    c->commands.push_back(shell::HelpCommand());
    c->commands.push_back(
        {{u"ECHO", u"CD", u"CD.."}, [](telnet::Session& session, const std::u16string& line) {
           session.Write(line);
           session.WriteFormated(line);
         }});
    return std::shared_ptr<const telnet::SessionConfig>(std::move(c));
  }();
  return instance;
}

void runSession(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  telnet::Connection connection(fds[0]);
  const int client = fds[1];

  // The client: sends the input, then reads everything the session sends back. The exit
  // words wait two seconds before closing; hearing the farewell where it is due (right after
  // the last expected prompt; an echoed line may hold the same words), the client ends the
  // wait.
  const std::vector<Cycle> cycles = expectedCycles(data, size);
  const bool exits = !cycles.empty() && cycles.back().reply == Reply::kExit;
  std::string received;
  std::thread peer([&] {
    size_t sent = 0;
    while (sent < size) {
      const ssize_t n = ::send(client, data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(client, SHUT_WR);
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(client, buf, sizeof buf, 0)) > 0) {
      received.append(buf, static_cast<size_t>(n));
      if (!exits) continue;
      const std::vector<std::string_view> parts = splitAtPrompts(received);
      if (parts.size() == cycles.size() + 1 && parts.back() == kFarewell) connection.Disconnect();
    }
  });

  telnet::Session session(connection, config());
  try {
    session.TelnetConnect();
    while (connection.Connected()) session.TelnetExecute();
  } catch (const velmar::Error&) {
    // End of input.
  }
  session.TelnetDisconnect();
  connection.Disconnect();
  peer.join();
  ::close(client);
  check(text::IsValidUtf8(received));
  checkReplies(cycles, received);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkLineRules(data, size);
  runSession(data, size);
  return 0;
}
