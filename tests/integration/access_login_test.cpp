// The login dialogue, levels, read-only mode, brute-force limits and the audit trail, over
// real sockets against a listener whose sessions ask an AccessControl.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access/access_control.h"
#include "access/password.h"
#include "support/password_hashes.h"
#include "support/telnet_client.h"
#include "telnet/listener.h"
#include "telnet/session.h"

namespace velmar::access {
namespace {

using namespace std::chrono_literals;
using velmar::testing::HashOf;
using velmar::testing::TelnetClient;

const std::string kWelcome = "Welcome to the IPS Terminal Server powered by Velmar v2.0.7\r\n";
const std::string kGuestGreeting = kWelcome +
                                   "You are logged in as guest. Type \"help\" if you need "
                                   "assistance.\r\n"
                                   "Have a lot of fun...\r\n\r\n";
const std::string kEchoOff = "\xff\xfb\x01";  // IAC WILL ECHO: the client stops its echo
const std::string kEchoOn = "\xff\xfc\x01";   // IAC WONT ECHO: and resumes it
const std::string kLogin = "Login: ";
const std::string kPassword = kEchoOff + "Password: ";
const std::string kIncorrect = kEchoOn + "\r\nLogin incorrect\r\n";
const std::string kShutOut = "Too many failed logins. Try again later.\r\n";
const std::string kLongPassword(1024, 'P');

std::string Prompt(const std::string& mark) {
  return "\x1b[36;1m" + mark + "IP-Symcon>\x1b[0m";
}

std::string LoggedIn(const std::string& name) {
  return kEchoOn + "\r\nYou are logged in as " + name +
         ". Type \"help\" if you need assistance.\r\nHave a lot of fun...\r\n\r\n";
}

// A command that writes its name, with the level and kind of the real one.
telnet::Command Probe(std::u16string word, std::uint8_t level, bool changesHome = false) {
  telnet::Command command;
  command.words = {word};
  command.level = level;
  command.changesHome = changesHome;
  command.handler = [word](telnet::Session& session, const std::u16string&) {
    session.WriteLn(u"ran " + word);
    if (word == u"SET") session.commandOutcome = "stored";
  };
  return command;
}

// A command that runs until it is interrupted (as a long find or ping would).
telnet::Command Wait() {
  telnet::Command command;
  command.words = {u"WAIT"};
  command.handler = [](telnet::Session& session, const std::u16string&) {
    session.WriteLn(u"waiting");
    session.delay(60000);
    session.WriteLn(u"done");
  };
  return command;
}

class LoginTest : public ::testing::Test {
 protected:
  // Starts the listener; `users` false means a shell without login.
  void Start(bool users = true, AccessSettings settings = {}) {
    settings.pause = [this](telnet::Session& session, std::chrono::milliseconds pause) {
      std::lock_guard lock(mutex_);
      pauses_.push_back(pause);
      session.Write(pauseMark_);
    };
    settings.now = [this] { return now_.load(); };
    settings.verify = [this](const std::string& hash, std::string_view password) {
      std::unique_lock lock(mutex_);
      ++checks_;
      changed_.wait(lock, [this] { return !holdChecks_; });
      lock.unlock();
      return VerifyPassword(hash, password);
    };
    auto audit = std::make_shared<AuditTrail>();
    audit->setSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      audit_.push_back(line);
      changed_.notify_all();
    });
    access_ = std::make_shared<AccessControl>(settings, audit);
    if (users) {
      access_->SetUsers(std::make_shared<const Users>(Users{
          {"admin", 10, HashOf("admin-pw")},
          {"op", 5, HashOf("op-pw")},
          {"viewer", 1,
           HashOf("K\xc3\xbc"
                  "che")},
          {"long", 1, HashOf(kLongPassword)},
      }));
    }
    auto config = std::make_shared<telnet::SessionConfig>();
    config->commands = {Probe(u"RUN", 5, true), Probe(u"LS", 1), Probe(u"SET", 5, true),
                        Probe(u"PING", 5),      Wait(),          WhoCommand(access_)};
    config->access = access_;
    listener_.setDefaultPort(0);
    listener_.setBindings({"127.0.0.1"});
    listener_.setAdmissionGate([access = access_](const std::string& peer, bool) {
      return access->AdmitConnection(peer, "telnet");
    });
    listener_.setHandlerFactory(telnet::MakeSessionFactory(config));
    listener_.setActive(true);
  }

  void TearDown() override {
    HoldChecks(false);  // a test that failed while holding them must not hang here
    listener_.setActive(false);
  }

  std::unique_ptr<TelnetClient> Connect() {
    return std::make_unique<TelnetClient>("127.0.0.1", listener_.boundPort());
  }

  // Connects and logs in; returns the client at its first prompt.
  std::unique_ptr<TelnetClient> LogIn(const std::string& name, const std::string& password,
                                      const std::string& mark) {
    auto client = Connect();
    EXPECT_EQ(client->readUntil(kLogin), kWelcome + kLogin);
    client->send(name + "\r\n");
    EXPECT_EQ(client->readUntil(kPassword), kPassword);
    client->send(password + "\r\n");
    EXPECT_EQ(client->readUntil(Prompt(mark)), LoggedIn(name) + Prompt(mark));
    return client;
  }

  // One command line; its output before the next prompt, without the line ends around it.
  static std::string Exchange(TelnetClient& client, const std::string& line,
                              const std::string& mark) {
    client.send(line + "\r\n");
    std::string reply = client.readUntil("\r\n" + Prompt(mark));
    reply.resize(reply.size() - 2 - Prompt(mark).size());
    if (reply.size() >= 2 && reply.compare(reply.size() - 2, 2, "\r\n") == 0) {
      reply.resize(reply.size() - 2);
    }
    return reply;
  }

  // A failed attempt: name and password sent, "Login incorrect" read.
  static void Fail(TelnetClient& client, const std::string& name, const std::string& password) {
    client.readUntil(kLogin);
    client.send(name + "\r\n");
    client.readUntil(kPassword);
    client.send(password + "\r\n");
    EXPECT_EQ(client.readUntil("Login incorrect\r\n"), kIncorrect);
  }

  std::vector<std::string> Audit() {
    std::lock_guard lock(mutex_);
    return audit_;
  }
  bool AuditHas(const std::string& text) {
    for (const auto& line : Audit()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::chrono::milliseconds> Pauses() {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  // Waits (bounded) until `count` audit lines hold `text`.
  bool AwaitAudit(const std::string& text, std::size_t count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] {
      std::size_t found = 0;
      for (const auto& line : audit_) found += line.find(text) != std::string::npos ? 1 : 0;
      return found >= count;
    });
  }
  // While held, password checks wait (counted) until they are let go.
  void HoldChecks(bool hold) {
    std::lock_guard lock(mutex_);
    holdChecks_ = hold;
    changed_.notify_all();
  }
  int Checks() {
    std::lock_guard lock(mutex_);
    return checks_;
  }

  telnet::Listener listener_;
  std::shared_ptr<AccessControl> access_;
  std::atomic<std::chrono::steady_clock::time_point> now_{
      std::chrono::steady_clock::time_point(std::chrono::hours(1000))};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> audit_;
  std::vector<std::chrono::milliseconds> pauses_;
  std::u16string pauseMark_;  // written by each pause, to see where it falls
  int checks_ = 0;
  bool holdChecks_ = false;
};

TEST_F(LoginTest, TheRightPasswordGivesTheUsersLevelAndPromptMark) {
  Start();
  auto admin = LogIn("admin", "admin-pw", "@");
  auto op = LogIn("op", "op-pw", "+");
  auto viewer = LogIn("viewer",
                      "K\xc3\xbc"
                      "che",
                      "");  // UTF-8 passwords work
  EXPECT_EQ(Exchange(*admin, "ls", "@"), "ran LS");
  EXPECT_TRUE(Pauses().empty());
  EXPECT_TRUE(AuditHas("velmar: audit: login ok user=\"admin\" peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas(" level=10"));
  for (const auto& line : Audit()) {
    EXPECT_EQ(line.find("admin-pw"), std::string::npos) << line;
    EXPECT_EQ(line.find("op-pw"), std::string::npos) << line;
  }
}

TEST_F(LoginTest, WrongAndUnknownLookTheSameAndPauseTwoSeconds) {
  Start();
  auto client = Connect();
  EXPECT_EQ(client->readUntil(kLogin), kWelcome + kLogin);
  client->send("admin\r\n");
  client->readUntil(kPassword);
  client->send("wrong\r\n");
  const std::string wrong = client->readUntil(kLogin);
  client->send("nobody\r\n");
  client->readUntil(kPassword);
  client->send("admin-pw\r\n");  // a real password, but not nobody's
  const std::string unknown = client->readUntil(kLogin);
  EXPECT_EQ(wrong, kIncorrect + kLogin);
  EXPECT_EQ(unknown, wrong);
  EXPECT_EQ(Pauses(), (std::vector<std::chrono::milliseconds>{2000ms, 2000ms}));

  // The third try may still succeed.
  client->send("admin\r\n");
  client->readUntil(kPassword);
  client->send("admin-pw\r\n");
  EXPECT_EQ(client->readUntil(Prompt("@")), LoggedIn("admin") + Prompt("@"));
  EXPECT_TRUE(AuditHas("login failed user=\"admin\" peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas("login failed user=\"nobody\" peer=127.0.0.1:"));
}

TEST_F(LoginTest, TheThirdFailureClosesTheConnection) {
  Start();
  auto client = Connect();
  for (int i = 0; i < 3; ++i) Fail(*client, "admin", "wrong");
  EXPECT_EQ(client->readToEnd(), "");
  ASSERT_TRUE(listener_.waitUntilNoConnections(10s));
  EXPECT_EQ(Pauses().size(), 3u);
  EXPECT_TRUE(AuditHas("connection closed user=- peer=127.0.0.1:"));
}

TEST_F(LoginTest, AnEmptyNameAsksAgainAndNegotiationBeforeTheNameIsDropped) {
  Start();
  auto client = Connect();
  client->readUntil(kLogin);
  client->send("\r\n");
  EXPECT_EQ(client->readUntil(kLogin), kLogin);
  client->send("\xff\xfd\x03op\r\n");
  client->readUntil(kPassword);
  client->send("op-pw\r\n");
  client->readUntil(Prompt("+"));
  EXPECT_TRUE(Pauses().empty());
}

TEST_F(LoginTest, ALoginNotCompletedInTimeClosesTheConnection) {
  AccessSettings settings;
  settings.timeLimit = 300ms;  // 60 s in service
  Start(true, settings);
  auto client = Connect();
  client->readUntil(kLogin);
  client->send("admin\r\n");
  client->readUntil(kPassword);
  EXPECT_TRUE(client->waitClosed(10s));
  ASSERT_TRUE(listener_.waitUntilNoConnections(10s));
  EXPECT_TRUE(AuditHas("login time limit passed peer=127.0.0.1:"));

  // A login completed in time is not cut off later.
  auto admin = LogIn("admin", "admin-pw", "@");
  EXPECT_EQ(admin->readFor(600ms), "");
  EXPECT_EQ(Exchange(*admin, "ls", "@"), "ran LS");
}

TEST_F(LoginTest, EveryClientIsAskedToStopItsEchoForThePassword) {
  Start();
  // A raw client too: WILL ECHO before the password prompt, WONT ECHO after its line. Clients
  // such as inetutils and busybox telnet negotiate only once the server does.
  auto raw = Connect();
  EXPECT_EQ(raw->readUntil(kLogin), kWelcome + kLogin);
  raw->send("op\r\n");
  EXPECT_EQ(raw->readUntil("Password: "), kEchoOff + "Password: ");
  raw->send("op-pw\r\n");
  EXPECT_EQ(raw->readUntil(Prompt("+")), LoggedIn("op") + Prompt("+"));

  // A client that has sent a Telnet command: the answers to it (BINARY offered both ways,
  // SUPPRESS-GO-AHEAD refused), then the same.
  auto telnet = Connect();
  telnet->readUntil(kLogin);
  telnet->send("\xff\xfd\x03op\r\n");
  EXPECT_EQ(telnet->readUntil("Password: "),
            std::string("\xff\xfb\x00\xff\xfd\x00\xff\xfc\x03", 9) + kPassword);
  telnet->send("\xff\xfd\x01op-x\x7fpw\r\n");  // its DO ECHO answer, and a typo erased
  EXPECT_EQ(telnet->readUntil(Prompt("+")), LoggedIn("op") + Prompt("+"));
  // Its DONT ECHO answers the WONT: not answered again (RFC 1143), so nothing comes before
  // the command's reply.
  telnet->send("\xff\xfe\x01");
  EXPECT_EQ(Exchange(*telnet, "ls", "+"), "ran LS");
}

TEST_F(LoginTest, LoginIncorrectComesAfterThePause) {
  Start();
  pauseMark_ = u"<pause>";
  auto client = Connect();
  client->readUntil(kLogin);
  client->send("admin\r\n");
  client->readUntil(kPassword);
  client->send("wrong\r\n");
  EXPECT_EQ(client->readUntil(kLogin), kEchoOn + "\r\n<pause>Login incorrect\r\n" + kLogin);
}

TEST_F(LoginTest, APasswordOverTheLimitFailsAsItIsNeverCut) {
  Start();
  LogIn("long", kLongPassword, "");
  auto client = Connect();
  for (const std::size_t extra : {std::size_t{5}, std::size_t{20000}}) {  // the line limit too
    client->readUntil(kLogin);
    client->send("long\r\n");
    client->readUntil(kPassword);
    client->send(kLongPassword + std::string(extra, 'X') + "\r\n");
    EXPECT_EQ(client->readUntil("Login incorrect\r\n"), kIncorrect) << extra;
  }
  EXPECT_TRUE(AwaitAudit("login failed user=\"long\" peer=127.0.0.1:", 2));
  EXPECT_TRUE(AuditHas("reason=\"password too long\""));
}

TEST_F(LoginTest, LevelsDecideWhichCommandsRun) {
  Start();
  struct Row {
    std::string user, password, mark;
    bool run, ls, set, ping, who;
  };
  const Row rows[] = {
      {"viewer",
       "K\xc3\xbc"
       "che",
       "", false, true, false, false, false},
      {"op", "op-pw", "+", true, true, true, true, false},
      {"admin", "admin-pw", "@", true, true, true, true, true},
  };
  for (const Row& row : rows) {
    auto client = LogIn(row.user, row.password, row.mark);
    auto expect = [&](const std::string& line, bool allowed) {
      const std::string reply = Exchange(*client, line, row.mark);
      if (allowed) {
        EXPECT_NE(reply, "Permission denied.") << row.user << ": " << line;
      } else {
        EXPECT_EQ(reply, "Permission denied.") << row.user << ": " << line;
      }
    };
    expect("run 1", row.run);
    expect("ls", row.ls);
    expect("set 1 2", row.set);
    expect("ping 127.0.0.1", row.ping);
    expect("who", row.who);
    EXPECT_EQ(Exchange(*client, "nonsense", row.mark), "Command unknown");
  }
  EXPECT_TRUE(AuditHas("permission denied user=\"viewer\" peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas("command=\"set 1 2\""));
  EXPECT_TRUE(AuditHas("change user=\"op\" peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas("command=\"set 1 2\" outcome=\"stored\""));
  EXPECT_TRUE(AuditHas("command=\"run 1\" outcome=\"done\""));
}

TEST_F(LoginTest, WhoListsTheSessionsLoggedIn) {
  Start();
  auto op = LogIn("op", "op-pw", "+");
  auto admin = LogIn("admin", "admin-pw", "@");
  auto waiting = Connect();  // at its login: nobody yet
  waiting->readUntil(kLogin);
  const std::string reply = Exchange(*admin, "who", "@");
  EXPECT_EQ(reply.rfind("USER   ADDRESS", 0), 0u) << reply;
  EXPECT_NE(reply.find("\r\nop     127.0.0.1:"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\r\nadmin  127.0.0.1:"), std::string::npos) << reply;
  EXPECT_NE(reply.find("  IP-Symcon"), std::string::npos) << reply;
  EXPECT_EQ(std::count(reply.begin(), reply.end(), '\n'), 2) << reply;  // two rows
  waiting.reset();
  EXPECT_TRUE(AwaitAudit("connection closed user=- peer=127.0.0.1:"));
}

TEST_F(LoginTest, WithoutUsersEveryClientIsTheGuestWithEveryCommand) {
  Start(false);
  auto client = Connect();
  EXPECT_EQ(client->readUntil(Prompt("")), kGuestGreeting + Prompt(""));
  EXPECT_EQ(Exchange(*client, "set 1 2", ""), "ran SET");
  EXPECT_EQ(Exchange(*client, "run 1", ""), "ran RUN");
  EXPECT_EQ(Exchange(*client, "who", ""), "Command unknown");  // no who without a login
  EXPECT_TRUE(AuditHas("connection opened peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas("change user=guest peer=127.0.0.1:"));
}

TEST_F(LoginTest, ReadOnlyRefusesSetAndRunForEveryone) {
  AccessSettings settings;
  settings.readOnly = true;
  for (const bool users : {false, true}) {
    SCOPED_TRACE(users ? "with users" : "without users");
    listener_.setActive(false);
    Start(users, settings);
    auto client = users ? LogIn("admin", "admin-pw", "@") : Connect();
    const std::string mark = users ? "@" : "";
    if (!users) client->readUntil(Prompt(""));
    EXPECT_EQ(Exchange(*client, "set 1 2", mark), "Permission denied.");
    EXPECT_EQ(Exchange(*client, "run 1", mark), "Permission denied.");
    EXPECT_EQ(Exchange(*client, "ls", mark), "ran LS");
    EXPECT_TRUE(AuditHas("reason=\"read-only\""));
  }
}

TEST_F(LoginTest, TenFailuresFromOneAddressShutItOutUntilTenMinutesHavePassed) {
  Start();
  for (int connection = 0; connection < 3; ++connection) {
    auto client = Connect();
    for (int i = 0; i < 3; ++i) Fail(*client, "admin", "guess");
    client->waitClosed();
  }
  // The tenth failure shuts the address out at once.
  auto client = Connect();
  client->readUntil(kLogin);
  client->send("admin\r\n");
  client->readUntil(kPassword);
  client->send("guess\r\n");
  EXPECT_EQ(client->readToEnd(), kEchoOn + "\r\n" + kShutOut);

  // Even the right password gets nowhere now: the client is closed before the greeting.
  EXPECT_EQ(Connect()->readToEnd(), kShutOut);
  EXPECT_TRUE(AuditHas("login shut out peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas("login refused peer=127.0.0.1:"));

  now_.store(now_.load() + 10min);
  LogIn("admin", "admin-pw", "@");
}

TEST_F(LoginTest, GuessesOnManyConnectionsAtOnceGetNoMoreChecksThanMayFail) {
  AccessSettings settings;
  settings.maxUnauthenticated = 0;  // all 64 from one address, waiting at once
  settings.checks = {2, 128};
  Start(true, settings);
  std::vector<std::unique_ptr<TelnetClient>> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(Connect());
    clients.back()->readUntil(kLogin);
    clients.back()->send("admin\r\n");
    clients.back()->readUntil(kPassword);
  }
  // 63 guess at once while the checks are held: ten begin (a pending attempt counts), the
  // others are refused without one, and so is the right password on the 64th.
  HoldChecks(true);
  for (int i = 0; i < 63; ++i) clients[i]->send("guess" + std::to_string(i) + "\r\n");
  ASSERT_TRUE(AwaitAudit("login refused peer=127.0.0.1:", 53));
  clients[63]->send("admin-pw\r\n");
  EXPECT_EQ(clients[63]->readToEnd(), kEchoOn + "\r\n" + kShutOut);
  HoldChecks(false);
  ASSERT_TRUE(AwaitAudit("login shut out peer=127.0.0.1:"));
  EXPECT_TRUE(AwaitAudit("login failed user=\"admin\"", 10));
  EXPECT_EQ(Checks(), 10);

  // Nine were told "Login incorrect" and may try again: shut out, whatever they send.
  int incorrect = 0;
  for (int i = 0; i < 63; ++i) {
    EXPECT_EQ(clients[i]->readUntil("\r\n"), kEchoOn + "\r\n");
    const std::string answer = clients[i]->readUntil("\r\n");
    if (answer == kShutOut) continue;
    ASSERT_EQ(answer, "Login incorrect\r\n") << i;
    ++incorrect;
    clients[i]->readUntil(kLogin);
    clients[i]->send("admin\r\nadmin-pw\r\n");
    EXPECT_EQ(clients[i]->readToEnd(), kPassword + kEchoOn + "\r\n" + kShutOut);
  }
  EXPECT_EQ(incorrect, 9);
  EXPECT_EQ(Checks(), 10);
  EXPECT_FALSE(AuditHas("login ok"));
}

TEST_F(LoginTest, TheEleventhConnectionNotLoggedInIsTurnedAway) {
  Start();
  std::vector<std::unique_ptr<TelnetClient>> waiting;
  for (int i = 0; i < 10; ++i) {
    waiting.push_back(Connect());
    waiting.back()->readUntil(kLogin);
  }
  EXPECT_EQ(Connect()->readToEnd(), "Too many connections.\r\n");
  EXPECT_TRUE(AuditHas("connection refused peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas(" reason=\"too many connections not logged in\""));

  // One logs in: its place is free for another; one that goes frees its place too.
  waiting[0]->send("op\r\n");
  waiting[0]->readUntil(kPassword);
  waiting[0]->send("op-pw\r\n");
  waiting[0]->readUntil(Prompt("+"));
  auto next = Connect();
  EXPECT_EQ(next->readUntil(kLogin), kWelcome + kLogin);
  EXPECT_EQ(Connect()->readToEnd(), "Too many connections.\r\n");
  waiting[1].reset();
  ASSERT_TRUE(AwaitAudit("connection closed user=- peer=127.0.0.1:"));
  EXPECT_EQ(Connect()->readUntil(kLogin), kWelcome + kLogin);
}

TEST_F(LoginTest, AReloadEndsTheSessionsOfRemovedUsersAndNewLevelsApplyAtOnce) {
  Start();
  // At its password when the user is removed.
  auto atLogin = Connect();
  atLogin->readUntil(kLogin);
  atLogin->send("admin\r\n");
  atLogin->readUntil(kPassword);
  // Running a command, and idle at the prompt.
  auto admin = LogIn("admin", "admin-pw", "@");
  admin->send("wait\r\n");
  admin->readUntil("waiting\r\n");
  auto op = LogIn("op", "op-pw", "+");
  auto viewer = LogIn("viewer",
                      "K\xc3\xbc"
                      "che",
                      "");

  // admin removed, op lowered to 1, viewer raised to 5.
  access_->SetUsers(std::make_shared<const Users>(Users{
      {"op", 1, HashOf("op-pw")},
      {"viewer", 5,
       HashOf("K\xc3\xbc"
              "che")},
  }));
  EXPECT_EQ(admin->readToEnd(), "done\r\nYour account was removed.\r\n");
  EXPECT_TRUE(AwaitAudit("session ended user=\"admin\" peer=127.0.0.1:"));
  EXPECT_TRUE(AuditHas(" reason=\"account removed\""));
  atLogin->send("admin-pw\r\n");
  EXPECT_EQ(atLogin->readUntil("Login incorrect\r\n"), kIncorrect);

  EXPECT_EQ(Exchange(*op, "set 1 2", ""), "Permission denied.");
  EXPECT_EQ(Exchange(*op, "ls", ""), "ran LS");
  EXPECT_EQ(Exchange(*viewer, "set 1 2", "+"), "ran SET");
  EXPECT_FALSE(AuditHas("session ended user=\"op\""));
}

// What a terminal shows of a session run by inetutils telnet, read with a deadline.
class PtyTelnet {
 public:
  explicit PtyTelnet(std::uint16_t port) {
    const std::string portArg = "-" + std::to_string(port);  // the dash: negotiate
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execl("/usr/bin/telnet", "telnet", "--", "127.0.0.1", portArg.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~PtyTelnet() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  bool started() const { return pid_ > 0; }

  // Reads the screen until it holds `marker`; false at the deadline.
  bool WaitFor(const std::string& marker, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (screen_.find(marker, from_) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{master_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[1024];
      const ssize_t got = ::read(master_, chunk, sizeof chunk);
      if (got <= 0) return false;
      screen_.append(chunk, static_cast<std::size_t>(got));
    }
    from_ = screen_.find(marker, from_) + marker.size();
    return true;
  }
  // Types `keys` as a person would, one key at a time.
  void Type(const std::string& keys) {
    for (const char key : keys) {
      ASSERT_EQ(::write(master_, &key, 1), 1);
      std::this_thread::sleep_for(5ms);  // pacing of a typist, not synchronisation
    }
  }
  const std::string& screen() const { return screen_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string screen_;
  std::size_t from_ = 0;
};

TEST_F(LoginTest, InetutilsTelnetDoesNotShowThePasswordOnTheScreen) {
  if (::access("/usr/bin/telnet", X_OK) != 0) GTEST_SKIP() << "inetutils telnet not installed";
  Start();
  PtyTelnet telnet(listener_.boundPort());
  ASSERT_TRUE(telnet.started());
  ASSERT_TRUE(telnet.WaitFor("Login: ")) << telnet.screen();
  telnet.Type("op\r");
  ASSERT_TRUE(telnet.WaitFor("Password: ")) << telnet.screen();
  telnet.Type("op-pw\r");
  ASSERT_TRUE(telnet.WaitFor("You are logged in as op.")) << telnet.screen();
  ASSERT_TRUE(telnet.WaitFor("+IP-Symcon>")) << telnet.screen();
  EXPECT_EQ(telnet.screen().find("op-pw"), std::string::npos) << telnet.screen();
  EXPECT_NE(telnet.screen().find("Login: op"), std::string::npos) << telnet.screen();
  // The client now ends lines with CR NUL: the first command after the login still runs.
  telnet.Type("nosuchcommand\r");
  EXPECT_TRUE(telnet.WaitFor("Command unknown")) << telnet.screen();
}

}  // namespace
}  // namespace velmar::access
