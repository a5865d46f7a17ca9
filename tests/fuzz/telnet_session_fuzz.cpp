// Feeds arbitrary client bytes through a shell session over a socket pair: line input,
// cleanup and dispatch, with the help command, a command that echoes its line and unknown
// words. Checks that every line read obeys the line-input rules, that cleanup leaves only
// what a command may hold, and that everything sent back is well-formed UTF-8.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

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
  // words wait two seconds before closing; hearing the farewell, the client ends the wait.
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
      if (received.find("Have a nice day!\r\n") != std::string::npos) connection.Disconnect();
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkLineRules(data, size);
  runSession(data, size);
  return 0;
}
