// Feeds arbitrary client bytes, Telnet commands included, through a shell session over a
// socket pair: protocol layer, line input, cleanup and dispatch, with the help command, a
// command that echoes its line and unknown words.
//
// The protocol model: the data bytes are exactly those a small independent scanner finds
// outside Telnet commands (so no byte of a command reaches a line); the answers are only
// those allowed (WILL for BINARY and TIMING-MARK, DO for BINARY and NAWS, refusals, "[Yes]"
// for AYT), none at all while the client sent no command, never more than one per request
// plus the two offers; the result does not depend on how the input is split; the
// subnegotiation buffer, the line and the queue of typed-ahead lines stay bounded.
//
// The session: every line read obeys the line-input rules, cleanup leaves only what a
// command may hold, the stream decoder keeps the same characters as the one-shot decoder,
// and the session answers every line as the dispatch rules say: one prompt per cycle,
// "Command unknown" for an unknown word, nothing for a blank or interrupted line, the
// refusal for a too-long line, the line itself for the echo command, the farewell as the
// last thing sent for an exit word, and only well-formed UTF-8 besides the protocol answers.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "telnet/client_input.h"
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

constexpr unsigned char kIAC = 255;

// What the client sent, as an independent scanner of RFC 854 sees it.
struct ModelInput {
  std::string data;        // the bytes outside Telnet commands
  size_t requests = 0;     // WILL, WONT, DO, DONT
  size_t timingMarks = 0;  // DO TIMING-MARK
  size_t areYouThere = 0;  // AYT
  bool anyCommand = false;
};

ModelInput scan(const uint8_t* data, size_t size) {
  ModelInput m;
  enum { kData, kIac, kOption, kSbOption, kSb, kSbIac } state = kData;
  unsigned char verb = 0;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char b = data[i];
    switch (state) {
      case kData:
        if (b == kIAC)
          state = kIac;
        else
          m.data.push_back(static_cast<char>(b));
        break;
      case kSbIac:
        if (b == 240) {
          state = kData;
          break;
        }
        if (b == kIAC) {
          state = kSb;
          break;
        }
        [[fallthrough]];  // a command breaks the subnegotiation off
      case kIac:
        state = kData;
        if (b == kIAC) {
          m.data.push_back(static_cast<char>(b));
          break;
        }
        m.anyCommand = true;
        if (b >= 251) {
          verb = b;
          state = kOption;
        } else if (b == 250) {
          state = kSbOption;
        } else if (b == 246) {
          ++m.areYouThere;
        }
        break;
      case kOption:
        ++m.requests;
        if (verb == 253 && b == 6) ++m.timingMarks;
        state = kData;
        break;
      case kSbOption:
        state = kSb;
        break;
      case kSb:
        if (b == kIAC) state = kSbIac;
        break;
    }
  }
  return m;
}

// Checks the server's answers against what the client sent.
void checkAnswers(const ModelInput& m, const std::string& answers) {
  if (!m.anyCommand) check(answers.empty());
  size_t negotiations = 0, willTm = 0, yes = 0;
  for (size_t i = 0; i < answers.size();) {
    if (answers.compare(i, 7, "[Yes]\r\n") == 0) {
      ++yes;
      i += 7;
      continue;
    }
    check(i + 3 <= answers.size() && static_cast<unsigned char>(answers[i]) == kIAC);
    const auto verb = static_cast<unsigned char>(answers[i + 1]);
    const auto option = static_cast<unsigned char>(answers[i + 2]);
    if (verb == 251) check(option == 0 || option == 6);
    if (verb == 253) check(option == 0 || option == 31);
    check(verb >= 251 && verb <= 254);
    if (verb == 251 && option == 6) ++willTm;
    ++negotiations;
    i += 3;
  }
  check(yes == m.areYouThere);
  check(willTm == m.timingMarks);
  check(negotiations <= m.requests + 2);
}

// What one ClientInput makes of the input fed in pieces of `step` bytes (0: all at once).
struct Parsed {
  std::vector<telnet::InputLine> lines;
  std::string answers;
  std::string data;
};

Parsed parse(const uint8_t* data, size_t size, size_t step) {
  telnet::ClientInput input;
  Parsed parsed;
  const size_t piece = step == 0 ? size : step;
  for (size_t at = 0; at < size; at += piece) {
    const size_t n = std::min(piece, size - at);
    input.feed(std::string_view(reinterpret_cast<const char*>(data + at), n), parsed.answers);
    check(input.protocol().pendingSubnegotiation() <= telnet::TelnetProtocol::kMaxSubnegotiation);
    check(input.assembler().line().size() <= telnet::kMaxLineLength + telnet::kTabWidth);
    check(input.queued() <= n + 1);  // every queued entry needs a byte of its own
    while (auto line = input.next()) parsed.lines.push_back(std::move(*line));
    input.commandDone();
  }
  return parsed;
}

void checkProtocol(const uint8_t* data, size_t size) {
  const ModelInput m = scan(data, size);
  // The data bytes that reach the decoder: collected from the protocol layer alone.
  telnet::TelnetProtocol protocol;
  std::vector<telnet::ProtocolEvent> events;
  std::string answers;
  protocol.feed(std::string_view(reinterpret_cast<const char*>(data), size), events, answers);
  std::string bytes;
  for (const auto& e : events)
    if (e.kind == telnet::ProtocolEvent::Kind::kData) bytes.push_back(static_cast<char>(e.byte));
  check(bytes == m.data);
  check(protocol.windowWidth() == 0 ||
        (protocol.windowWidth() >= 20 && protocol.windowWidth() <= 1000));
  checkAnswers(m, answers);

  // The same lines and answers whether the input comes whole or byte by byte.
  const Parsed whole = parse(data, size, 0);
  const Parsed split = parse(data, size, 1 + (size > 0 ? data[0] % 7 : 0));
  check(whole.answers == answers && split.answers == answers);
  check(whole.lines.size() == split.lines.size());
  for (size_t i = 0; i < whole.lines.size(); ++i) {
    check(whole.lines[i].status == split.lines[i].status);
    check(whole.lines[i].text == split.lines[i].text);
  }
}

void checkLineRules(const uint8_t* data, size_t size) {
  const Parsed parsed = parse(data, size, 0);
  bool startup = true;
  for (const telnet::InputLine& input : parsed.lines) {
    const std::u16string& line = input.text;
    check(line.size() <= telnet::kMaxLineLength + telnet::kTabWidth);
    if (input.status == telnet::InputLine::Status::kLine)
      check(line.size() <= telnet::kMaxLineLength);
    for (const char16_t ch : line) check(ch != u'\r' && ch != u'\n' && ch != 0x1b && ch != 0x7f);
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
enum class Reply { kNothing, kUnknown, kEcho, kHelp, kExit, kTooLong };

struct Cycle {
  Reply reply;
  std::u16string commandline;  // after cleanup and trimming
};

// The cycles the session runs for the input: one per completed line or interrupt, up to and
// including the first exit word.
std::vector<Cycle> expectedCycles(const uint8_t* data, size_t size) {
  std::vector<Cycle> cycles;
  for (const telnet::InputLine& input : parse(data, size, 0).lines) {
    if (input.status == telnet::InputLine::Status::kInterrupted) {
      cycles.push_back({Reply::kNothing, {}});
      continue;
    }
    if (input.status == telnet::InputLine::Status::kTooLong) {
      cycles.push_back({Reply::kTooLong, {}});
      continue;
    }
    std::u16string line = telnet::cleanup(input.text, cycles.empty());
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
  return cycles;
}

// The echo command shows "[" as "(", so that its output cannot pass for an AYT answer.
std::u16string echoed(std::u16string line) {
  std::replace(line.begin(), line.end(), u'[', u'(');
  return line;
}

// `received` without the protocol's answers (IAC sequences and "[Yes]" lines); counts the
// latter into `yes`. Output of the session holds neither: it is UTF-8 (no 0xFF) and no
// command of this target writes "[Yes]".
std::string withoutAnswers(std::string_view received, size_t* yes = nullptr) {
  std::string out;
  for (size_t i = 0; i < received.size();) {
    if (static_cast<unsigned char>(received[i]) == kIAC) {
      i += 3;
    } else if (received.compare(i, 7, "[Yes]\r\n") == 0) {
      if (yes) ++*yes;
      i += 7;
    } else {
      out.push_back(received[i++]);
    }
  }
  return out;
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
      case Reply::kTooLong:
        check(output == "Line too long: more than 16384 characters.\r\n");
        break;
      case Reply::kEcho:
        check(startsWith(output, text::Utf16ToUtf8(echoed(cycles[i].commandline))));
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
           session.Write(echoed(line));
           session.WriteFormated(echoed(line));
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
      const std::string text = withoutAnswers(received);
      const std::vector<std::string_view> parts = splitAtPrompts(text);
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
  const std::string output = withoutAnswers(received);
  check(text::IsValidUtf8(output));
  checkReplies(cycles, output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkProtocol(data, size);
  checkLineRules(data, size);
  runSession(data, size);
  return 0;
}
