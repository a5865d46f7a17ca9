// The server going away and coming back while the service runs, and a server that never
// answers while the service is switched off.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app_fault_fixture.h"

namespace velmar::app::faults {
namespace {

using ServerGoneTest = ServiceTest;

TEST_F(ServerGoneTest, CommandsFailWhileTheServerIsAwayAndWorkAgainOnceItIsBack) {
  Shell stays(port());
  const CommandResult listing = stays.Run("ls");
  const int serverPort = host_->port();
  host_->Stop();

  // A listing cannot be had: that connection ends without a word. A name that cannot be
  // looked up is reported as not found, and that connection goes on.
  {
    Shell ends(port());
    EXPECT_EQ(ends.RunUntilClosed("ls"), "");
  }
  EXPECT_EQ(stays.Run("show Counter"),
            (CommandResult{"Object not found: Counter\r\n", "IP-Symcon"}));
  EXPECT_EQ(stays.Run("cd Floor"), (CommandResult{"Object not found: Floor\r\n", "IP-Symcon"}));
  // The service itself stays on.
  EXPECT_EQ(controller_->display().telnet, u"Online");
  EXPECT_EQ(controller_->display().status, u"Connected");

  host_->Start(serverPort);
  ASSERT_EQ(host_->port(), serverPort);
  EXPECT_EQ(stays.Run("ls"), listing);
  EXPECT_EQ(stays.Run("cd Floor"), (CommandResult{"", "IP-Symcon\\Floor"}));
  Shell fresh(port());
  EXPECT_EQ(fresh.Run("ls"), listing);
}

// How the server keeps a request waiting for ever.
enum class Silence {
  SlowScript,    // the server takes the request and sits on its answer
  SilentSocket,  // nothing behind the port but a listening socket that never accepts
  FullQueue,     // the same with its queue full: the connection attempt itself hangs
};

class SilentServerTest : public ServiceTest, public ::testing::WithParamInterface<Silence> {
 protected:
  void TearDown() override {
    if (filler_ >= 0) ::close(filler_);
    if (silent_ >= 0) ::close(silent_);
    ServiceTest::TearDown();
  }

  // Replaces the server on its port by a socket that lets clients connect and send, and then
  // never reads or answers.
  void Silence(int serverPort, int queue) {
    host_->Stop();
    silent_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(silent_, 0);
    const int on = 1;
    ::setsockopt(silent_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(serverPort));
    ASSERT_EQ(::bind(silent_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent_, queue), 0);
  }

  // Takes the one place in the queue of a silent socket that listens with a queue of 0; the
  // system then drops every further attempt to connect without an answer.
  void FillQueue(int serverPort) {
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(filler_, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(serverPort));
    ASSERT_EQ(::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }

  // True once a connection attempt to `serverPort` hangs (in the system's table of TCP
  // sockets, state SYN_SENT towards that port).
  static bool ConnectHangs(int serverPort, std::chrono::milliseconds timeout) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, "%04X", serverPort);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::ifstream table("/proc/net/tcp");
      std::string line;
      std::getline(table, line);  // the heading
      while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "02" && remote.size() > 5 && remote.substr(remote.size() - 4) == wanted)
          return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(2ms);  // polling the table, bounded by the deadline
    }
  }

  // True once a client waits in the silent socket's queue.
  bool SomeoneWaits(std::chrono::milliseconds timeout) const {
    pollfd p{silent_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
  }

  // True once the server has received a request of `method`.
  bool Received(const std::string& method, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (host_->Requests(method) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(5ms);  // polling the server's record, bounded by the deadline
    }
    return true;
  }

  int silent_ = -1;
  int filler_ = -1;
};

TEST_P(SilentServerTest, SwitchOffDoesNotWaitForTheServer) {
  Shell waiting(port());
  Shell idle(port());
  const CommandResult listing = idle.Run("ls");
  const CommandResult help = idle.Run("help run");

  if (GetParam() == Silence::SlowScript) {
    sim::Fault forever{sim::FaultKind::Delay};
    forever.delay = 60s;
    host_->SetFault("IPS_RunScriptWait", forever);
    waiting.client().send("run 30000 -w\r\n");
    ASSERT_TRUE(Received("IPS_RunScriptWait", 5000ms));
    // The other connection asks the same server meanwhile and gets its answers.
    EXPECT_EQ(idle.Run("ls"), listing);
  } else if (GetParam() == Silence::SilentSocket) {
    Silence(host_->port(), 8);
    waiting.client().send("ls\r\n");
    ASSERT_TRUE(SomeoneWaits(5000ms));
    EXPECT_EQ(idle.Run("help run"), help);
  } else {
    const int serverPort = host_->port();
    Silence(serverPort, 0);
    FillQueue(serverPort);
    waiting.client().send("ls\r\n");
    ASSERT_TRUE(ConnectHangs(serverPort, 5000ms));
    EXPECT_EQ(idle.Run("help run"), help);
  }

  const auto start = std::chrono::steady_clock::now();
  controller_->TimerShutdownTimer();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("switch-off with a request in flight took %.1f ms\n", took.count());
  EXPECT_LT(took, 5000ms);  // a guard against hanging, not a measure of speed

  // Nothing of the interrupted command reached its client; both connections are closed.
  EXPECT_EQ(waiting.client().readToEnd(), "");
  EXPECT_TRUE(idle.client().waitClosed());
  EXPECT_EQ(controller_->listener().connectionCount(), 0u);
  EXPECT_EQ(controller_->display().telnet, u"Offline");
  // Only the test's own thread is left in this process.
  EXPECT_EQ(CountResources().threads, baseline_.threads);
}

INSTANTIATE_TEST_SUITE_P(Faults, SilentServerTest,
                         ::testing::Values(Silence::SlowScript, Silence::SilentSocket,
                                           Silence::FullQueue),
                         [](const ::testing::TestParamInfo<Silence>& param) {
                           switch (param.param) {
                             case Silence::SlowScript:
                               return std::string("SlowScript");
                             case Silence::SilentSocket:
                               return std::string("SilentSocket");
                             case Silence::FullQueue:
                               return std::string("FullQueue");
                           }
                           return std::string();
                         });

}  // namespace
}  // namespace velmar::app::faults
