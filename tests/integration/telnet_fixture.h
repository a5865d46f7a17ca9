#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/error.h"
#include "support/telnet_client.h"
#include "telnet/listener.h"
#include "telnet/session.h"
#include "text/encoding.h"

namespace velmar::telnet::testing {

using velmar::testing::TelnetClient;

// What a client receives before the first prompt (the greeting, the login message and an
// empty line), and the first prompt.
inline const std::string kGreeting =
    "Welcome to the IPS Terminal Server powered by Velmar v2.0.7\r\n"
    "You are logged in as guest. Type \"help\" if you need assistance.\r\n"
    "Have a lot of fun...\r\n"
    "\r\n";
inline const std::string kPrompt = "\x1b[36;1mIP-Symcon>\x1b[0m";

inline std::string utf8(const std::u16string& text) {
  return text::Utf16ToUtf8(text);
}

// A command that writes one line: `prefix` and the command line it was given.
inline Command echoCommand(std::vector<std::u16string> words, std::u16string prefix) {
  return {std::move(words), [prefix](Session& session, const std::u16string& line) {
            session.WriteLn(prefix + line);
          }};
}

// A listener on a loopback address and an ephemeral port, running sessions with a test
// command table; counts the connect and disconnect hooks.
class TelnetFixture : public ::testing::Test {
 protected:
  void start(CommandTable commands, std::vector<std::string> bindings = {"127.0.0.1"}) {
    auto config = std::make_shared<SessionConfig>();
    config->commands = std::move(commands);
    config->onConnect = [this](Session&) {
      ++connects_;
      if (failConnect_) throw Error("No API client for this connection");
    };
    config->onDisconnect = [this](Session&) { ++disconnects_; };
    config->idle = idle_;
    listener_.setDefaultPort(0);
    listener_.setBindings(std::move(bindings));
    listener_.setHandlerFactory(MakeSessionFactory(config));
    listener_.setSwitchOffHook([this] { ++switchOffHooks_; });
    listener_.setActive(true);
  }

  std::unique_ptr<TelnetClient> connect(const std::string& host = "127.0.0.1") {
    return std::make_unique<TelnetClient>(host, listener_.boundPort());
  }

  // A client that has read everything up to and including the first prompt.
  std::unique_ptr<TelnetClient> connectGreeted() {
    auto client = connect();
    EXPECT_EQ(client->readUntil(kPrompt), kGreeting + kPrompt);
    return client;
  }

  // Sends `bytes` (a command line with its line end) and returns what comes before the
  // next prompt, checking that the prompt follows after CR LF.
  static std::string exchange(TelnetClient& client, const std::string& bytes) {
    client.send(bytes);
    std::string reply = client.readUntil(kPrompt);
    reply.resize(reply.size() - kPrompt.size());
    EXPECT_TRUE(reply.size() >= 2 && reply.compare(reply.size() - 2, 2, "\r\n") == 0)
        << "no CR LF before the prompt after " << bytes;
    if (reply.size() >= 2) reply.resize(reply.size() - 2);
    return reply;
  }

  // Waits until every connection thread has ended (the disconnect hooks have run).
  bool waitForNoConnections() { return listener_.waitUntilNoConnections(std::chrono::seconds(10)); }

  Listener listener_;
  IdleLimit idle_;  // of the sessions started next
  std::atomic<int> connects_{0};
  std::atomic<int> disconnects_{0};
  std::atomic<int> switchOffHooks_{0};
  std::atomic<bool> failConnect_{false};
};

}  // namespace velmar::telnet::testing
