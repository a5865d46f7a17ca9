// The controller against the simulated server in-process: the Connect action step by step,
// the shutdown timer, and the listener it drives, over real loopback sockets.
#include "app/controller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/json_rpc.h"
#include "api/server_calls.h"
#include "core/error.h"
#include "sim/simulator.h"
#include "support/ports.h"
#include "support/stderr_capture.h"
#include "support/telnet_client.h"
#include "text/console_layout.h"

namespace velmar::app {
namespace {

using namespace std::chrono_literals;

using testing::TelnetClient;

struct Change {
  DisplayItem item;
  DisplayState state;
};

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Program start: the module's settings and this thread's client, as every run begins.
    api::InitializeRPCModule();
    text::gConsoleChars.store(80);
    sim_.start();
  }
  void TearDown() override { text::gConsoleChars.store(80); }

  // A controller on loopback with the simulator's port and an ephemeral Telnet port.
  std::unique_ptr<Controller> Make(ControllerSettings settings = {}) {
    if (settings.listenAddresses.empty()) settings.listenAddresses = {"127.0.0.1"};
    auto controller = std::make_unique<Controller>(std::move(settings));
    controller->setObserver([this](DisplayItem item, const DisplayState& state) {
      changes_.push_back({item, state});
    });
    controller->FormCreate();
    changes_.clear();
    controller->fields().port = std::u16string(u"") + ToU16(std::to_string(sim_.port()));
    controller->fields().telnetPort = u"0";
    return controller;
  }

  static std::u16string ToU16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
  }

  sim::Simulator sim_{[] {
    sim::SimulatorOptions options;
    options.kernelVersion = "6.4";
    return options;
  }()};
  std::vector<Change> changes_;
};

TEST_F(ControllerTest, FormCreateShowsTheConsoleWidthAndStartsTheTimer) {
  text::gConsoleChars.store(132);
  ControllerSettings settings;
  settings.shutdownInterval = 600000ms;
  Controller controller(settings);
  EXPECT_FALSE(controller.nextShutdown());
  auto before = std::chrono::steady_clock::now();
  controller.FormCreate();
  EXPECT_EQ(controller.fields().consoleChars, u"132");
  EXPECT_EQ(controller.display().version, u"");
  EXPECT_EQ(controller.display().status, u"Disconected");
  EXPECT_EQ(controller.display().telnet, u"Offline");
  EXPECT_TRUE(controller.display().connectEnabled);
  EXPECT_EQ(controller.fields().host, u"127.0.0.1");
  EXPECT_EQ(controller.fields().port, u"3777");
  EXPECT_EQ(controller.fields().telnetPort, u"23");
  ASSERT_TRUE(controller.nextShutdown());
  EXPECT_GE(*controller.nextShutdown(), before + 600000ms);

  // The timer repeats from its first due time, not from when it was served.
  auto first = *controller.nextShutdown();
  controller.TimerFired();
  EXPECT_EQ(*controller.nextShutdown(), first + 600000ms);

  ControllerSettings off;
  off.shutdownInterval = 0ms;
  Controller never(off);
  never.FormCreate();
  EXPECT_FALSE(never.nextShutdown());
}

TEST_F(ControllerTest, ConnectWithDefaultsTurnsTheServiceOnAndServesTheShell) {
  auto controller = Make();
  ConnectResult result = controller->BtnConnectClick();
  ASSERT_EQ(result.outcome, ConnectOutcome::Done) << result.message;
  EXPECT_EQ(result.url, "http://127.0.0.1:" + std::to_string(sim_.port()) + "/api/");

  // The display changes in the action's order.
  ASSERT_EQ(changes_.size(), 4u);
  EXPECT_EQ(changes_[0].item, DisplayItem::Version);
  EXPECT_EQ(changes_[0].state.version, u"IPS Version 6.4 detected.");
  EXPECT_EQ(changes_[1].item, DisplayItem::Status);
  EXPECT_EQ(changes_[1].state.status, u"Connected");
  EXPECT_EQ(changes_[1].state.statusColor, StatusColor::Green);
  EXPECT_EQ(changes_[1].state.telnet, u"Offline");
  EXPECT_EQ(changes_[2].item, DisplayItem::Telnet);
  EXPECT_EQ(changes_[2].state.telnet, u"Online");
  EXPECT_EQ(changes_[2].state.telnetColor, StatusColor::Green);
  EXPECT_EQ(changes_[3].item, DisplayItem::ConnectButton);
  EXPECT_FALSE(controller->display().connectEnabled);

  TelnetClient client(controller->listener().boundPort());
  std::string greeting = client.readUntil("\x1b[36;1mIP-Symcon>\x1b[0m");
  EXPECT_EQ(greeting.find("Welcome to the IPS Terminal Server powered by Velmar v"), 0u);
  EXPECT_NE(greeting.find("\r\nHave a lot of fun...\r\n\r\n\x1b[36;1mIP-Symcon>\x1b[0m"),
            std::string::npos);

  // The width is read only by the action: a later edit of the field changes nothing.
  controller->fields().consoleChars = u"40";
  EXPECT_EQ(text::gConsoleChars.load(), 80);
}

TEST_F(ControllerTest, ConsoleWidthFieldIsStoredOnConnect) {
  auto controller = Make();
  controller->fields().consoleChars = u"120";
  ASSERT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::Done);
  EXPECT_EQ(text::gConsoleChars.load(), 120);
}

TEST_F(ControllerTest, FailedServerCheckChangesNothing) {
  struct Case {
    const char* name;
    std::u16string host, port;
  };
  const int closed = testing::UnusedLoopbackPort();
  std::vector<Case> cases = {
      {"refused", u"127.0.0.1", ToU16(std::to_string(closed))},
      {"empty port", u"127.0.0.1", u""},
      {"letters in port", u"127.0.0.1", u"37a7"},
      {"unresolvable host", u"no-such-host.invalid", ToU16(std::to_string(sim_.port()))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto controller = Make();
    controller->fields().host = c.host;
    controller->fields().port = c.port;
    ConnectResult result = controller->BtnConnectClick();
    EXPECT_EQ(result.outcome, ConnectOutcome::ServerCheckFailed);
    EXPECT_FALSE(result.message.empty());
    EXPECT_TRUE(changes_.empty());
    EXPECT_EQ(controller->display().status, u"Disconected");
    EXPECT_EQ(controller->display().telnet, u"Offline");
    EXPECT_TRUE(controller->display().connectEnabled);
    EXPECT_FALSE(controller->listener().active());
  }
}

TEST_F(ControllerTest, CredentialsAreSentAndWrongOnesFailTheCheck) {
  sim_.setCredentials("admin@example.com", "geheim");
  auto controller = Make();
  controller->fields().username = u"admin@example.com";
  controller->fields().password = u"falsch";
  EXPECT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::ServerCheckFailed);
  EXPECT_TRUE(changes_.empty());

  // Pressing again repeats the whole action with the corrected fields.
  controller->fields().password = u"geheim";
  EXPECT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::Done);
}

TEST_F(ControllerTest, TelnetPortInUseLeavesTheServerReachedState) {
  auto holder = Make();
  ASSERT_EQ(holder->BtnConnectClick().outcome, ConnectOutcome::Done);
  const std::uint16_t taken = holder->listener().boundPort();

  auto controller = Make();
  controller->fields().telnetPort = ToU16(std::to_string(taken));
  ConnectResult result = controller->BtnConnectClick();
  EXPECT_EQ(result.outcome, ConnectOutcome::ListenFailed);
  EXPECT_FALSE(result.message.empty());
  EXPECT_EQ(controller->display().status, u"Connected");
  EXPECT_EQ(controller->display().version, u"IPS Version 6.4 detected.");
  EXPECT_EQ(controller->display().telnet, u"Offline");
  EXPECT_TRUE(controller->display().connectEnabled);
}

TEST_F(ControllerTest, BadNumericFieldsStopTheActionAtTheirStep) {
  struct Case {
    std::u16string telnetPort, consoleChars;
    ConnectOutcome outcome;
    bool listening;
  };
  std::vector<Case> cases = {
      {u"", u"80", ConnectOutcome::TelnetPortInvalid, false},
      {u"65536", u"80", ConnectOutcome::TelnetPortInvalid, false},
      {u"0", u"", ConnectOutcome::ConsoleCharsInvalid, true},
      {u"0", u"99999999999", ConnectOutcome::ConsoleCharsInvalid, true},
  };
  for (const Case& c : cases) {
    auto controller = Make();
    controller->fields().telnetPort = c.telnetPort;
    controller->fields().consoleChars = c.consoleChars;
    ConnectResult result = controller->BtnConnectClick();
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_NE(result.message.find("is not a valid"), std::string::npos) << result.message;
    EXPECT_EQ(controller->display().status, u"Connected");
    EXPECT_EQ(controller->listener().active(), c.listening);
    EXPECT_EQ(controller->display().telnet, c.listening ? u"Online" : u"Offline");
    EXPECT_TRUE(controller->display().connectEnabled);
    EXPECT_EQ(text::gConsoleChars.load(), 80);
  }
}

TEST_F(ControllerTest, PressAfterBadConsoleWidthCompletesWithTheListenerStillOn) {
  auto controller = Make();
  controller->fields().consoleChars = u"";
  ASSERT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::ConsoleCharsInvalid);
  const std::uint16_t port = controller->listener().boundPort();
  controller->fields().consoleChars = u"100";
  ASSERT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::Done);
  EXPECT_EQ(controller->listener().boundPort(), port);
  EXPECT_EQ(text::gConsoleChars.load(), 100);
  EXPECT_FALSE(controller->display().connectEnabled);
}

TEST_F(ControllerTest, TimerSwitchesTheServiceOffAndDropsClients) {
  auto controller = Make();
  ASSERT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::Done);
  const std::uint16_t port = controller->listener().boundPort();
  TelnetClient first(port);
  TelnetClient second(port);
  first.readUntil("IP-Symcon>");
  second.readUntil("IP-Symcon>");
  changes_.clear();

  controller->TimerShutdownTimer();
  EXPECT_TRUE(first.waitClosed());
  EXPECT_TRUE(second.waitClosed());
  EXPECT_EQ(controller->listener().connectionCount(), 0u);
  ASSERT_EQ(changes_.size(), 2u);
  EXPECT_EQ(changes_[0].item, DisplayItem::Telnet);
  EXPECT_EQ(changes_[0].state.telnet, u"Offline");
  EXPECT_EQ(changes_[0].state.telnetColor, StatusColor::DarkRed);
  EXPECT_EQ(changes_[1].item, DisplayItem::Status);
  EXPECT_EQ(changes_[1].state.status, u"Disconected");
  EXPECT_EQ(changes_[1].state.statusColor, StatusColor::DarkRed);
  // Version line and button stay as they were.
  EXPECT_EQ(controller->display().version, u"IPS Version 6.4 detected.");
  EXPECT_FALSE(controller->display().connectEnabled);
  EXPECT_THROW(TelnetClient late(port), Error);
}

// The listening socket of this process on `port` (found by asking each descriptor).
int ListeningSocketOn(std::uint16_t port) {
  for (int fd = 3; fd < 4096; ++fd) {
    int listening = 0;
    socklen_t length = sizeof listening;
    sockaddr_in address{};
    socklen_t addressLength = sizeof address;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

// A listener that cannot accept any more goes off for all to see: the Telnet state "Offline"
// (on stdout for the headless service) and a line on stderr that says what failed. The
// session that is in goes on.
TEST_F(ControllerTest, AListenerThatFailsGoesOffAndSaysWhy) {
  auto controller = Make();
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::u16string> telnetStates;
  controller->setObserver([&](DisplayItem item, const DisplayState& state) {
    std::lock_guard lock(mutex);
    if (item == DisplayItem::Telnet) telnetStates.push_back(state.telnet);
    changed.notify_all();
  });
  ASSERT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::Done);
  const std::uint16_t port = controller->listener().boundPort();
  TelnetClient in(port);
  in.readUntil("IP-Symcon>\x1b[0m");

  testing::StderrCapture err;
  const int listening = ListeningSocketOn(port);
  ASSERT_GE(listening, 0);
  ::shutdown(listening, SHUT_RDWR);  // accept() fails from now on
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return telnetStates.size() == 2; }));
    EXPECT_EQ(telnetStates, (std::vector<std::u16string>{u"Online", u"Offline"}));
  }
  EXPECT_EQ(controller->display().telnet, u"Offline");
  const auto line = err.waitForLine("has failed", 10s);
  ASSERT_TRUE(line) << err.text();
  EXPECT_EQ(*line, "velmar: the listener on 127.0.0.1:" + std::to_string(port) +
                       " has failed (accept: Invalid argument): no more connections are taken; "
                       "those in go on until the service stops");
  in.send("ls\r\n");
  EXPECT_NE(in.readUntil("IP-Symcon>\x1b[0m").find("Showing Object: 0"), std::string::npos);
  controller->TimerShutdownTimer();
  EXPECT_TRUE(in.waitClosed());
}

TEST_F(ControllerTest, PressAfterTheTimerFailsInTheServerCheck) {
  auto controller = Make();
  controller->TimerShutdownTimer();
  EXPECT_EQ(controller->display().status, u"Disconected");
  EXPECT_TRUE(controller->display().connectEnabled);
  changes_.clear();

  // The main thread's API client is gone: every later press fails without a trace.
  ConnectResult result = controller->BtnConnectClick();
  EXPECT_EQ(result.outcome, ConnectOutcome::ServerCheckFailed);
  EXPECT_EQ(result.message, "JSON-RPC is not initialized for this thread yet.");
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(sim_.requests().size(), 0u);
}

// A connection handler that asks the server for its version once per cycle and keeps what
// the call raised.
class VersionAsker : public telnet::ConnectionHandler {
 public:
  VersionAsker(telnet::Client& connection, std::string* failure)
      : connection_(connection), failure_(failure) {}
  void OnConnect() override { api::InitializeRPCForThread(); }
  void OnExecute() override {
    try {
      api::IPS_GetKernelVersion();
    } catch (const std::exception& e) {
      *failure_ = e.what();
      connection_.Disconnect();
    }
  }
  void OnDisconnect() override { api::FinalizeRPCForThread(); }

 private:
  telnet::Client& connection_;
  std::string* failure_;
};

TEST_F(ControllerTest, SwitchOffAbortsARequestWaitingForASlowServer) {
  std::string failure;
  ControllerSettings settings;
  settings.handlerFactory = [&failure](telnet::Client& connection) {
    return std::make_unique<VersionAsker>(connection, &failure);
  };
  auto controller = Make(settings);
  ASSERT_EQ(controller->BtnConnectClick().outcome, ConnectOutcome::Done);
  sim::Fault slow{sim::FaultKind::Delay};
  slow.delay = 10s;
  sim_.setFault("", slow);
  const std::size_t before = sim_.requests().size();

  TelnetClient client(controller->listener().boundPort());
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (sim_.requests().size() == before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);  // polling the recorder, bounded by the deadline
  }
  ASSERT_GT(sim_.requests().size(), before);

  // The request in flight is cut short instead of waiting out the server's delay.
  controller->TimerShutdownTimer();
  EXPECT_EQ(failure, "Request aborted.");
  EXPECT_TRUE(client.waitClosed());
  sim_.clearFaults();
}

}  // namespace
}  // namespace velmar::app
