#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "support/ports.h"
#include "support/stderr_capture.h"
#include "telnet_fixture.h"

extern char** environ;

namespace velmar::telnet::testing {
namespace {

using namespace std::chrono_literals;

class ListenerTest : public TelnetFixture {};

CommandTable slowTable() {
  return {
      {{u"WAIT"},
       [](Session& session, const std::u16string&) {
         session.WriteLn(u"waiting");
         session.delay(600000);
         session.WriteLn(u"woke");
       }},
      {{u"FLOOD"},
       [](Session& session, const std::u16string&) {
         // Far more than the socket buffers hold, to a client that does not read.
         const std::u16string line(1000, u'x');
         for (int i = 0; i < 100000; ++i) session.WriteLn(line);
       }},
      echoCommand({u"HELP"}, u"help: "),
  };
}

TEST_F(ListenerTest, SwitchOffClosesEveryConnectionAndJoins) {
  start(slowTable());
  auto idle = connectGreeted();
  auto waiting = connectGreeted();
  waiting->send("wait\r\n");
  EXPECT_EQ(waiting->readUntil("waiting\r\n"), "waiting\r\n");
  auto flooded = connectGreeted();
  flooded->send("flood\r\n");
  flooded->readExactly(1000);  // the command is writing
  auto typing = connectGreeted();
  typing->send("hel");
  ASSERT_EQ(connects_, 4);

  const std::uint16_t port = listener_.boundPort();
  auto off = std::async(std::launch::async, [this] { listener_.setActive(false); });
  ASSERT_EQ(off.wait_for(20s), std::future_status::ready) << "switch-off hangs";
  off.get();

  EXPECT_FALSE(listener_.active());
  EXPECT_EQ(listener_.connectionCount(), 0u);
  EXPECT_EQ(disconnects_, 4);
  EXPECT_EQ(switchOffHooks_, 1);
  // No farewell: the clients just see the end of the stream.
  EXPECT_EQ(idle->readToEnd(), "");
  EXPECT_EQ(waiting->readToEnd(), "");
  EXPECT_EQ(typing->readToEnd(), "");
  EXPECT_TRUE(flooded->waitClosed());
  EXPECT_THROW(TelnetClient("127.0.0.1", port), Error);  // no longer listening

  // The listener can be switched on again.
  start(slowTable());
  connectGreeted();
}

// A failure that ends a connection while its client is still there, or that a second
// service's server lets out, is the operator's to know: it is logged, not dropped.
TEST_F(ListenerTest, FailuresThatEndAConnectionAreLogged) {
  velmar::testing::StderrCapture err;
  listener_.setSecondService(0, [](int, const std::string&) { throw Error("no SSH today"); });
  start({{{u"BREAK"}, [](Session&, const std::u16string&) { throw Error("the server went away"); }},
         {{u"QUIT"},
          [](Session& session, const std::u16string&) { session.client().Disconnect(); }}});
  auto broken = connectGreeted();
  broken->send("break\r\n");
  EXPECT_TRUE(broken->waitClosed());
  const auto ended = err.waitForLine(" ended: ", 10s);
  ASSERT_TRUE(ended) << err.text();
  EXPECT_EQ(ended->rfind("velmar: connection 127.0.0.1:", 0), 0u) << *ended;
  EXPECT_EQ(ended->substr(ended->find(" ended: ")), " ended: the server went away");

  TelnetClient second("127.0.0.1", listener_.boundSecondPort());
  EXPECT_TRUE(second.waitClosed());
  const auto ssh = err.waitForLine("SSH connection", 10s);
  ASSERT_TRUE(ssh) << err.text();
  EXPECT_EQ(ssh->rfind("velmar: SSH connection 127.0.0.1:", 0), 0u) << *ssh;
  EXPECT_EQ(ssh->substr(ssh->find(" ended: ")), " ended: no SSH today");

  // A client that leaves, or a session that ends itself, is no news.
  auto leaving = connectGreeted();
  leaving->close();
  auto quitting = connectGreeted();
  quitting->send("quit\r\n");
  EXPECT_TRUE(quitting->waitClosed());
  ASSERT_TRUE(waitForNoConnections());
  listener_.setActive(false);
  EXPECT_EQ(err.text(), *ended + "\n" + *ssh + "\n");
}

TEST_F(ListenerTest, SwitchOnFailsCleanlyOnAPortInUse) {
  // Another program holds a port on the loopback address.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::uint16_t port = ntohs(addr.sin_port);

  listener_.setHandlerFactory(MakeSessionFactory(std::make_shared<SessionConfig>()));
  listener_.setDefaultPort(port);
  for (const auto& bindings : {std::vector<std::string>{"127.0.0.1"}, std::vector<std::string>{}}) {
    listener_.setBindings(bindings);
    try {
      listener_.setActive(true);
      ADD_FAILURE() << "switched on over a port in use";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("port " + std::to_string(port)), std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find("Address already in use"), std::string::npos)
          << e.what();
    }
    EXPECT_FALSE(listener_.active());
    EXPECT_EQ(listener_.boundPort(), 0);
  }
  ::close(holder);

  // Nothing was left open: the same port can be taken now.
  listener_.setBindings({"127.0.0.1"});
  listener_.setActive(true);
  EXPECT_EQ(listener_.boundPort(), port);
}

TEST_F(ListenerTest, RejectsAnAddressThatIsNotNumeric) {
  listener_.setHandlerFactory(MakeSessionFactory(std::make_shared<SessionConfig>()));
  listener_.setBindings({"localhost"});
  EXPECT_THROW(listener_.setActive(true), Error);
  EXPECT_FALSE(listener_.active());
}

TEST_F(ListenerTest, WildcardBindingsServeIpv4AndIpv6OnOnePort) {
  start(slowTable(), {});
  const auto endpoints = listener_.boundEndpoints();
  ASSERT_FALSE(endpoints.empty());
  EXPECT_EQ(endpoints[0], "0.0.0.0:" + std::to_string(listener_.boundPort()));
  connectGreeted();
  if (!velmar::testing::HostHasIpv6Loopback()) GTEST_SKIP() << "no IPv6 on this host";
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[1], "[::]:" + std::to_string(listener_.boundPort()));
  auto client = connect("::1");
  EXPECT_EQ(client->readUntil(kPrompt), kGreeting + kPrompt);
}

TEST_F(ListenerTest, ServesManyClientsAtOnce) {
  start(slowTable());
  constexpr int kClients = 200;
  std::vector<std::unique_ptr<TelnetClient>> clients;
  // One at a time: a burst of connects would overrun the listen queue of 15, and the
  // refused handshakes would only be retried by the client's kernel a second later.
  for (int i = 0; i < kClients; ++i) clients.push_back(connectGreeted());
  for (auto& client : clients) client->send("help me\r\n");
  for (auto& client : clients) {
    EXPECT_EQ(client->readUntil(kPrompt), "help: help me\r\n\r\n" + kPrompt);
  }
  EXPECT_EQ(listener_.connectionCount(), static_cast<std::size_t>(kClients));
  listener_.setActive(false);
  EXPECT_EQ(disconnects_, kClients);
}

// Runs the system's Telnet client with its input and output on pipes.
class TelnetProgram {
 public:
  explicit TelnetProgram(std::uint16_t port) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw Error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    const std::string portText = std::to_string(port);
    const char* argv[] = {"telnet", "127.0.0.1", portText.c_str(), nullptr};
    const int rc =
        posix_spawnp(&pid_, "telnet", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (rc != 0) throw Error("cannot run telnet");
  }
  ~TelnetProgram() {
    ::close(input_);
    ::close(output_);
    if (pid_ > 0) {
      if (!exited_) ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void type(const std::string& text) {
    ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Output up to and including `marker`, or until the program ends or the deadline passes.
  std::string readUntil(const std::string& marker, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (seen_.find(marker) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      const ssize_t got = ::read(output_, buf, sizeof buf);
      if (got <= 0) break;
      seen_.append(buf, static_cast<std::size_t>(got));
    }
    return seen_;
  }

  // The exit status, waiting at most `timeout`; -1 when it is still running.
  int wait(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      readUntil("\x01", 20ms);  // keeps the pipe drained while polling for the exit
    }
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool exited_ = false;
  std::string seen_;
};

std::string withoutCr(std::string text) {
  std::erase(text, '\r');
  return text;
}

TEST_F(ListenerTest, ARealTelnetClientRunsHelpAndExit) {
  if (::access("/usr/bin/telnet", X_OK) != 0) GTEST_SKIP() << "no telnet client installed";
  start(slowTable());
  TelnetProgram telnet(listener_.boundPort());
  // The client shows line ends as its terminal wants them; compare without CR.
  const std::string prompt = withoutCr(kPrompt);
  std::string seen = withoutCr(telnet.readUntil("IP-Symcon>\x1b[0m"));
  EXPECT_NE(seen.find(withoutCr(kGreeting + kPrompt)), std::string::npos) << seen;
  telnet.type("help\n");
  seen = withoutCr(telnet.readUntil("help: help"));
  telnet.type("exit\n");
  seen = withoutCr(telnet.readUntil("Connection closed by foreign host."));
  EXPECT_NE(seen.find(prompt + "help: help\n\n" + prompt + "Disconnecting... Have a nice day!\n"),
            std::string::npos)
      << seen;
  EXPECT_NE(seen.find("Connection closed by foreign host."), std::string::npos) << seen;
  EXPECT_NE(telnet.wait(), -1);
  ASSERT_TRUE(waitForNoConnections());
  EXPECT_EQ(disconnects_, 1);
}

}  // namespace
}  // namespace velmar::telnet::testing
