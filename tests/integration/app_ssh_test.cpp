// The SSH front end through the whole service: the controller with a users file, a key folder
// and the simulated server (the demo home), against the real OpenSSH client. One-shot
// commands and their exit statuses, logins and the limits shared with Telnet, the line
// editor in a pty, and Telnet and SSH sessions side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "access/access_control.h"
#include "access/password.h"
#include "api/json_rpc.h"
#include "app/controller.h"
#include "sim/simulator.h"
#include "ssh/keys.h"
#include "ssh/line_editor.h"
#include "support/ssh_client.h"
#include "support/telnet_client.h"
#include "support/terminal_screen.h"
#include "text/console_layout.h"
#include "text/encoding.h"

namespace velmar::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::CommandRun;
using testing::PtyClient;
using testing::RunCommand;
using testing::TelnetClient;

const std::string kPromptAdmin = "\x1b[36;1m@IP-Symcon>\x1b[0m";

std::string WithoutColours(const std::string& text) {
  static const std::regex colour("\x1b\\[[0-9;]*m");
  return std::regex_replace(text, colour, "");
}

// The screen a terminal of `width` columns shows after `bytes`.
[[maybe_unused]] test::TerminalScreen Screen(const std::string& bytes, int width = 80) {
  test::TerminalScreen screen(width, [](char32_t c) { return ssh::DisplayWidth(c); });
  screen.write(bytes);
  return screen;
}

class SshServiceTest : public ::testing::Test {
 protected:
  static const std::string& HashOf(const std::string& password) {
    static std::mutex mutex;
    static std::map<std::string, std::string> hashes;
    std::lock_guard lock(mutex);
    auto& hash = hashes[password];
    if (hash.empty()) hash = access::HashPassword(password, access::HashCost::Minimal);
    return hash;
  }

  void SetUp() override {
    api::InitializeRPCModule();
    text::gConsoleChars.store(80);
    sim_.start();
    // alice (10) and viewer (1) have keys in the folder; carol (5) has a key pair but no
    // file there; ghost has a file there but is no user.
    for (const char* name : {"alice", "viewer", "carol", "ghost"}) files_.makeKey(name);
    fs::create_directory(dir() / "keys");
    for (const char* name : {"alice", "viewer", "ghost"}) {
      testing::WriteFileText(dir() / "keys" / name, files_.publicKey(name),
                             fs::perms::owner_read | fs::perms::owner_write);
    }
  }

  void TearDown() override {
    controller_.reset();
    text::gConsoleChars.store(80);
  }

  const fs::path& dir() const { return files_.dir(); }

  // Switches the service on: Telnet and SSH on ephemeral loopback ports.
  void Start(access::AccessSettings accessSettings = {}, std::size_t maxPerAddress = 64) {
    accessSettings.failurePause = 0ms;
    auto audit = std::make_shared<access::AuditTrail>();
    audit->setSink([this](const std::string& line) {
      std::lock_guard lock(auditMutex_);
      audit_.push_back(line);
    });
    auto access = std::make_shared<access::AccessControl>(accessSettings, audit);
    access->SetUsers(std::make_shared<const access::Users>(access::Users{
        {"alice", 10, HashOf("alice-pw")},
        {"viewer", 1, HashOf("viewer-pw")},
        {"carol", 5, HashOf("carol-pw")},
    }));
    ControllerSettings settings;
    settings.listenAddresses = {"127.0.0.1"};
    settings.access = access;
    settings.sshPort = 0;
    settings.ssh.hostKeyPath = (dir() / "host_key").string();
    ssh::LoadOrCreateHostKey(settings.ssh.hostKeyPath);  // as the program does at start
    settings.ssh.authorizedKeysDir = (dir() / "keys").string();
    settings.maxPerAddress = maxPerAddress;
    controller_ = std::make_unique<Controller>(settings);
    controller_->FormCreate();
    controller_->fields().port = text::Utf8ToUtf16(std::to_string(sim_.port()));
    controller_->fields().telnetPort = std::u16string(1, u'0');  // any free port
    const ConnectResult result = controller_->BtnConnectClick();
    ASSERT_EQ(result.outcome, ConnectOutcome::Done) << result.message;
    sshPort_ = controller_->listener().boundSecondPort();
    ASSERT_GT(sshPort_, 0);
  }

  std::string withKey(const std::string& key) const { return files_.withKey(sshPort_, key); }
  std::string withPassword(const std::string& password) const {
    return files_.withPassword(sshPort_, password);
  }
  // A one-shot command list of `user`, logged in with their key.
  CommandRun Run(const std::string& user, const std::string& commands) const {
    return RunCommand(withKey(user) + " " + user + "@127.0.0.1 '" + commands + "'");
  }

  std::vector<std::string> Audit() {
    std::lock_guard lock(auditMutex_);
    return audit_;
  }
  // The audit lines that hold every one of `parts`.
  std::vector<std::string> AuditWith(const std::vector<std::string>& parts) {
    std::vector<std::string> found;
    for (const std::string& line : Audit()) {
      bool all = true;
      for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
      if (all) found.push_back(line);
    }
    return found;
  }

  // A Telnet client logged in as `name`, at its first prompt.
  std::unique_ptr<TelnetClient> TelnetLogin(const std::string& name, const std::string& password) {
    auto client = std::make_unique<TelnetClient>(controller_->listener().boundPort());
    client->readUntil("Login: ");
    client->send(name + "\r\n");
    client->readUntil("Password: ");
    client->send(password + "\r\n");
    client->readUntil("IP-Symcon>\x1b[0m");
    return client;
  }

  // One Telnet command line; what it wrote before the next prompt.
  static std::string TelnetCommand(TelnetClient& client, const std::string& line,
                                   const std::string& prompt = kPromptAdmin) {
    client.send(line + "\r\n");
    std::string reply = client.readUntil("\r\n" + prompt);
    reply.resize(reply.size() - 2 - prompt.size());
    return reply;
  }

  sim::Simulator sim_{sim::SimulatorOptions{}};  // the demo home
  testing::SshClientFiles files_;
  std::unique_ptr<Controller> controller_;
  int sshPort_ = 0;
  std::mutex auditMutex_;
  std::vector<std::string> audit_;
};

// ---------------------------------------------------------------------------------------------
// One-shot commands

TEST_F(SshServiceTest, OneShotCommandsGiveTheShellsOutputAndAnExitStatus) {
  Start();
  auto telnet = TelnetLogin("alice", "alice-pw");
  const std::string telnetList = TelnetCommand(*telnet, "ls");

  const CommandRun list = Run("alice", "ls");
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, WithoutColours(telnetList));
  EXPECT_NE(list.out.find("57574 <Category>   Energie Tageswerte"), std::string::npos) << list.out;

  const struct {
    const char* user;
    const char* commands;
    int status;
    std::vector<std::string> shown;     // in this order
    std::vector<std::string> notShown;  // anywhere
  } cases[] = {
      {"alice", "show 99999", 1, {"Object not found: 99999\r\n"}, {}},
      {"alice", "bogus", 1, {"Command unknown\r\n"}, {}},
      {"viewer", "set 45135 21", 2, {"Permission denied.\r\n"}, {}},
      // The list runs in order and the cd holds for what follows.
      {"alice",
       "cd 13917; ls -v",
       0,
       {"Showing Object: 13917 - K\xc3\xbc"
        "che",
        "Fenster offen"},
       {}},
      // It stops at the first command that fails.
      {"alice", "uptime; show 99999; ls", 1, {"IPS: ", "Object not found: 99999"}, {"Showing"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + ": " + c.commands);
    const CommandRun run = Run(c.user, c.commands);
    EXPECT_EQ(run.status, c.status) << run.err;
    std::size_t at = 0;
    for (const std::string& text : c.shown) {
      at = run.out.find(text, at);
      EXPECT_NE(at, std::string::npos) << text << " in:\n" << run.out;
    }
    for (const std::string& text : c.notShown) {
      EXPECT_EQ(run.out.find(text), std::string::npos) << text << " in:\n" << run.out;
    }
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    // Line ends as over Telnet.
    EXPECT_EQ(std::regex_search(run.out, std::regex("[^\r]\n")), false) << run.out;
  }
  // The one-shot sessions are logged as every other.
  EXPECT_FALSE(AuditWith({"permission denied", "user=\"viewer\"", "set 45135 21"}).empty());
}

TEST_F(SshServiceTest, ReadOnlyServiceRefusesChangesWithStatusTwo) {
  access::AccessSettings settings;
  settings.readOnly = true;
  Start(settings);
  const CommandRun run = Run("alice", "set 45135 21");
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_EQ(run.out, "Permission denied.\r\n");
  EXPECT_EQ(sim_.variableValueJson(45135), "21.0");  // unchanged
}

TEST_F(SshServiceTest, ServerOutOfReachEndsACommandWithStatus255) {
  Start();
  sim_.stop();
  const CommandRun run = Run("alice", "ls");
  EXPECT_EQ(run.status, 255);
  EXPECT_NE(run.err.find("Connection refused"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
}

// ---------------------------------------------------------------------------------------------
// Logins

TEST_F(SshServiceTest, LoginsByKeyAndPasswordAgainstTheUsersFile) {
  Start();
  const struct {
    const char* name;
    std::string client;
    const char* user;
    int status;
    std::string audit;  // a part of the line the attempt leaves
  } cases[] = {
      {"own key", withKey("alice"), "alice", 0, "login ok user=\"alice\""},
      {"password", withPassword("alice-pw"), "alice", 0, "login ok user=\"alice\""},
      {"someone else's key", withKey("ghost"), "alice", 255, ""},
      {"wrong password", withPassword("viewer-pw"), "alice", 255, "login failed user=\"alice\""},
      {"user without a keys file: key", withKey("carol"), "carol", 255, ""},
      {"user without a keys file: password", withPassword("carol-pw"), "carol", 0,
       "login ok user=\"carol\""},
      {"keys file but no user", withKey("ghost"), "ghost", 255, "login failed user=\"ghost\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = Audit().size();
    const CommandRun run = RunCommand(c.client + " " + c.user + "@127.0.0.1 uptime");
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out.find("IPS: ") == 0, c.status == 0) << run.out;
    if (c.audit.empty()) continue;
    const std::vector<std::string> lines = Audit();
    bool found = false;
    for (std::size_t i = before; i < lines.size(); ++i) {
      found = found || lines[i].find(c.audit) != std::string::npos;
    }
    EXPECT_TRUE(found) << c.audit;
  }
  // Every SSH line names its transport.
  for (const std::string& line : Audit()) {
    EXPECT_NE(line.find(" transport=ssh"), std::string::npos) << line;
  }
  EXPECT_EQ(AuditWith({"login ok user=\"alice\" peer=127.0.0.1:", " transport=ssh method=key",
                       " level=10"})
                .size(),
            1u);
  EXPECT_EQ(AuditWith({"login ok user=\"alice\"", " method=password"}).size(), 1u);
  EXPECT_EQ(AuditWith({"login failed user=\"ghost\"", "method=key", "unknown user"}).size(), 1u);
}

TEST_F(SshServiceTest, FailedSshLoginsShutTheAddressOutForTelnetToo) {
  access::AccessSettings settings;
  settings.limiter.maxFailures = 3;
  Start(settings);
  // Telnet's audit lines, before anything happened over SSH.
  TelnetLogin("carol", "carol-pw")->send("exit\r\n");

  // Three wrong passwords in one connection: the third shuts the address out.
  EXPECT_EQ(RunCommand(withPassword("wrong") + " alice@127.0.0.1 uptime").status, 255);
  EXPECT_EQ(AuditWith({"login failed user=\"alice\"", "transport=ssh", "wrong password"}).size(),
            3u);
  EXPECT_EQ(AuditWith({"login shut out peer=127.0.0.1:", "transport=ssh"}).size(), 1u);

  // Now not even the right key gets in over SSH, and Telnet says why.
  EXPECT_EQ(Run("alice", "uptime").status, 255);
  EXPECT_EQ(AuditWith({"login refused", "transport=ssh", "too many failed logins"}).size(), 1u);
  TelnetClient telnet(controller_->listener().boundPort());
  EXPECT_NE(telnet.readToEnd().find("Too many failed logins. Try again later.\r\n"),
            std::string::npos);

  // Telnet's lines name no transport.
  const auto telnetLines = AuditWith({"user=\"carol\""});
  ASSERT_FALSE(telnetLines.empty());
  for (const std::string& line : telnetLines) {
    EXPECT_EQ(line.find("transport="), std::string::npos) << line;
  }
  EXPECT_EQ(AuditWith({"login refused", "too many failed logins"}).size(), 2u);
}

}  // namespace
}  // namespace velmar::app
