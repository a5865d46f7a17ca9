// The headless `velmar` as a user runs it: separate processes (velmar, velmar-sim) over
// loopback, its stdout states, stderr messages, exit codes and signals.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/error.h"
#include "sim/simulator.h"
#include "support/hostile_server.h"
#include "support/ports.h"
#include "support/ssh_client.h"
#include "support/telnet_client.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velmar::testing::TelnetClient;

const std::string kBin = VELMAR_BIN_DIR;

// A child process with its stdout and stderr read through pipes, always with a deadline.
class Process {
 public:
  explicit Process(std::vector<std::string> args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw velmar::Error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_.fd = out[0];
    err_.fd = err[0];
    if (rc != 0) throw velmar::Error("cannot start " + args[0]);
  }

  ~Process() {
    if (!exitCode_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_.fd);
    ::close(err_.fd);
  }

  // The next line of stdout (without its line end); nothing at end of output or deadline.
  std::optional<std::string> StdoutLine(std::chrono::milliseconds limit = 10s) {
    return Line(out_, Clock::now() + limit);
  }

  // Reads stderr until a line holds `needle`; that line, or nothing.
  std::optional<std::string> StderrLineWith(const std::string& needle,
                                            std::chrono::milliseconds limit = 10s) {
    auto deadline = Clock::now() + limit;
    while (auto line = Line(err_, deadline)) {
      stderrSeen_ += *line + "\n";
      if (line->find(needle) != std::string::npos) return line;
    }
    return std::nullopt;
  }

  void Signal(int signal) { ::kill(pid_, signal); }

  // The exit code once the process has ended; nothing if it is still running at the deadline.
  // Drains both pipes meanwhile.
  std::optional<int> Wait(std::chrono::milliseconds limit = 15s) {
    auto deadline = Clock::now() + limit;
    while (!exitCode_) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      Drain(std::min(deadline, Clock::now() + 20ms));
    }
    Drain(Clock::now() + 200ms, true);
    return exitCode_;
  }

  // Everything left on stdout and stderr after the process ended (call after Wait).
  std::string RestOfStdout() const { return out_.buffer; }
  std::string Stderr() const { return stderrSeen_ + err_.buffer; }

 private:
  struct Stream {
    int fd = -1;
    std::string buffer;
    bool eof = false;
  };

  static bool Fill(Stream& stream, Clock::time_point deadline) {
    if (stream.eof) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{stream.fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    ssize_t n = ::read(stream.fd, chunk, sizeof chunk);
    if (n <= 0) {
      stream.eof = true;
      return false;
    }
    stream.buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  static std::optional<std::string> Line(Stream& stream, Clock::time_point deadline) {
    for (;;) {
      std::size_t end = stream.buffer.find('\n');
      if (end != std::string::npos) {
        std::string line = stream.buffer.substr(0, end);
        stream.buffer.erase(0, end + 1);
        return line;
      }
      if (!Fill(stream, deadline)) return std::nullopt;
    }
  }

  void Drain(Clock::time_point deadline, bool toEnd = false) {
    pollfd p[2] = {{out_.fd, POLLIN, 0}, {err_.fd, POLLIN, 0}};
    do {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 || (out_.eof && err_.eof)) return;
      p[0].fd = out_.eof ? -1 : out_.fd;
      p[1].fd = err_.eof ? -1 : err_.fd;
      if (::poll(p, 2, static_cast<int>(left.count())) <= 0) return;
      if (p[0].revents) Fill(out_, Clock::now());
      if (p[1].revents) Fill(err_, Clock::now());
    } while (toEnd);
  }

  pid_t pid_ = -1;
  Stream out_, err_;
  std::string stderrSeen_;
  std::optional<int> exitCode_;
};

// The port in "...:<port>" at the end of the first endpoint on a stderr/stdout line.
int PortAfterColon(const std::string& line, const std::string& prefix) {
  std::size_t at = line.find(prefix);
  if (at == std::string::npos) return -1;
  std::size_t colon = line.find(':', at + prefix.size());
  return std::stoi(line.substr(colon + 1));
}

// A simulated server as its own process on an ephemeral loopback port.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {kBin + "/velmar-sim", "--port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    process_.emplace(args);
    auto line = process_->StdoutLine();
    if (!line) throw velmar::Error("velmar-sim did not start");
    port_ = PortAfterColon(*line, "http://127.0.0.1");
  }
  int port() const { return port_; }

 private:
  std::optional<Process> process_;
  int port_ = -1;
};

// velmar's Telnet port, from its "listening on <address>:<port>" line on stderr.
int TelnetPort(Process& velmar) {
  auto line = velmar.StderrLineWith("Telnet listening on ");
  return line ? PortAfterColon(*line, "listening on ") : -1;
}

std::vector<std::string> Velmar(std::vector<std::string> args) {
  args.insert(args.begin(), kBin + "/velmar");
  return args;
}

// The lines velmar wrote to stderr for the operator, without the audit trail's.
std::vector<std::string> ServiceLines(const std::string& err) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("velmar: audit: ", 0) != 0) lines.push_back(line);
  }
  return lines;
}

// What velmar says when it starts listening for Telnet on 127.0.0.1 `port`.
std::vector<std::string> ListeningLines(int port) {
  const std::string shown = std::to_string(port);
  return {"velmar: Telnet listening on 127.0.0.1:" + shown,
          "velmar: connect with: telnet 127.0.0.1 " + shown +
              "   (type help in the shell; Ctrl+C here stops Velmar)"};
}

// A --max-connections that any open-file limit serves, so that the lines below are the same
// on every host (velmar warns when the limit cannot serve the default 1000).
const std::string kFewConnections = "20";

TEST(HeadlessTest, ServesATelnetSessionAndStopsInOrderOnSignals) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
    SimProcess sim({"--kernel-version", "5.2"});
    Process velmar(
        Velmar({"--port", std::to_string(sim.port()), "--telnet-port", "0", "--listen", "127.0.0.1",
                "--shutdown-minutes", "0", "--max-connections", kFewConnections}));
    EXPECT_EQ(velmar.StdoutLine(), "IPS Version 5.2 detected.");
    EXPECT_EQ(velmar.StdoutLine(), "Connected");
    EXPECT_EQ(velmar.StdoutLine(), "Online");
    int port = TelnetPort(velmar);
    ASSERT_GT(port, 0);

    TelnetClient client(static_cast<std::uint16_t>(port));
    std::string greeting = client.readUntil("\x1b[36;1mIP-Symcon>\x1b[0m");
    EXPECT_EQ(greeting.rfind("Welcome to the IPS Terminal Server powered by Velmar v", 0), 0u);
    client.send("ls\r\n");
    EXPECT_NE(client.readUntil("IP-Symcon>").find("Showing Object: 0"), std::string::npos);

    // The connected client is dropped by the switch-off.
    velmar.Signal(signal);
    EXPECT_EQ(velmar.StdoutLine(), "Offline");
    EXPECT_EQ(velmar.StdoutLine(), "Disconected");
    EXPECT_EQ(velmar.Wait(), 0);
    EXPECT_TRUE(client.waitClosed());
    EXPECT_EQ(velmar.RestOfStdout(), "");
    // Loopback only: nothing to warn about.
    EXPECT_EQ(ServiceLines(velmar.Stderr()), ListeningLines(port)) << velmar.Stderr();
  }
}

TEST(HeadlessTest, FailedServerCheckExitsOneNamingTheUrl) {
  SimProcess sim;
  const std::string closed = std::to_string(velmar::testing::UnusedLoopbackPort());
  const std::string plain = std::to_string(sim.port());
  struct Case {
    std::vector<std::string> args;
    std::string url;
  };
  const std::vector<Case> cases = {
      {{"--port", closed}, "http://127.0.0.1:" + closed + "/api/"},
      // TLS spoken to a plain HTTP server fails in the handshake.
      {{"--port", plain, "--tls"}, "https://127.0.0.1:" + plain + "/api/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--telnet-port", "0", "--listen", "127.0.0.1"});
    Process velmar(Velmar(args));
    EXPECT_EQ(velmar.Wait(), 1);
    EXPECT_EQ(velmar.RestOfStdout(), "");
    const std::string err = velmar.Stderr();
    EXPECT_NE(err.find(c.url), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(HeadlessTest, SignalDuringAServerCheckThatHangsStopsInOrder) {
  // A server that takes the connection and never answers.
  int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  socklen_t len = sizeof sa;
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&sa), &len);

  Process velmar(Velmar({"--port", std::to_string(ntohs(sa.sin_port)), "--telnet-port", "0"}));
  // Once the request has reached the server, the check is waiting for the reply.
  pollfd p{silent, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  int accepted = ::accept(silent, nullptr, nullptr);
  p = {accepted, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);

  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);
  EXPECT_EQ(velmar.RestOfStdout(), "Offline\nDisconected\n");
  ::close(accepted);
  ::close(silent);
}

TEST(HeadlessTest, WrongCredentialsExitOneAndAPasswordFileIsRead) {
  SimProcess sim({"--username", "me@example.com", "--password", "s3cret"});
  {
    Process velmar(Velmar({"--port", std::to_string(sim.port()), "--telnet-port", "0", "--listen",
                           "127.0.0.1", "--username", "me@example.com", "--password", "wrong"}));
    EXPECT_EQ(velmar.Wait(), 1);
    EXPECT_NE(velmar.Stderr().find("401"), std::string::npos) << velmar.Stderr();
  }
  const std::string file = ::testing::TempDir() + "velmar_password";
  std::ofstream(file) << "s3cret\n";
  Process velmar(
      Velmar({"--port", std::to_string(sim.port()), "--telnet-port", "0", "--listen", "127.0.0.1",
              "--username", "me@example.com", "--password-file", file, "--shutdown-minutes", "0"}));
  EXPECT_TRUE(velmar.StdoutLine());
  EXPECT_EQ(velmar.StdoutLine(), "Connected");
  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);
  std::remove(file.c_str());
}

TEST(HeadlessTest, TelnetPortInUseExitsTwo) {
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t len = sizeof sa;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&sa), &len);
  const int taken = ntohs(sa.sin_port);

  Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", std::to_string(taken)}));
  EXPECT_EQ(velmar.Wait(), 2);
  EXPECT_EQ(velmar.RestOfStdout(), "IPS Version 6.4 detected.\nConnected\n");
  EXPECT_NE(velmar.Stderr().find(std::to_string(taken)), std::string::npos) << velmar.Stderr();
  ::close(holder);
}

TEST(HeadlessTest, BadOptionValuesExitSixtyFourWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port", "0"},
      {"--port", "abc"},
      {"--telnet-port", "70000"},
      {"--console-chars", "0"},
      {"--console-chars", "2147483647"},
      {"--request-timeout", "-1"},
      {"--max-reply-mib", "0"},
      {"--shutdown-minutes", "-1"},
      {"--shutdown-minutes", "nan"},
      {"--shutdown-minutes", "1e12"},
      {"--listen", "localhost"},
      {"--insecure"},
      {"--demo-port", "5000"},
      {"--password", "x", "--password-file", "/dev/null"},
      {"--password-file", "/nonexistent/velmar-password"},
      {"--demo", "--host", "192.0.2.1"},
      {"--bogus"},
      {"stray"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    SCOPED_TRACE(shown);
    Process velmar(Velmar(args));
    EXPECT_EQ(velmar.Wait(), 64);
    EXPECT_EQ(velmar.RestOfStdout(), "");
    EXPECT_NE(velmar.Stderr().find("Usage: velmar"), std::string::npos) << velmar.Stderr();
  }
}

TEST(HeadlessTest, HelpAndVersionGoToStdout) {
  Process help(Velmar({"--help"}));
  EXPECT_EQ(help.Wait(), 0);
  for (const char* option : {"--host", "--port", "--username", "--password-file", "--telnet-port",
                             "--console-chars", "--listen", "--shutdown-minutes", "--tls",
                             "--insecure", "--demo", "--demo-port", "--version"}) {
    EXPECT_NE(help.RestOfStdout().find(option), std::string::npos) << option;
  }
  Process version(Velmar({"--version"}));
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.RestOfStdout(), "velmar 2.0.7\n");
}

TEST(HeadlessTest, DemoServesTheDemoHome) {
  Process velmar(Velmar(
      {"--demo", "--demo-port", "0", "--telnet-port", "0", "--max-connections", kFewConnections}));
  EXPECT_EQ(velmar.StdoutLine(), "IPS Version 6.4 detected.");
  EXPECT_EQ(velmar.StdoutLine(), "Connected");
  EXPECT_EQ(velmar.StdoutLine(), "Online");
  // The demo listens on loopback only, so there is nothing to warn about.
  int port = TelnetPort(velmar);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(velmar.StderrLineWith("telnet 127.0.0.1 " + std::to_string(port)));

  TelnetClient client(static_cast<std::uint16_t>(port));
  client.readUntil("IP-Symcon>");
  client.send("ls\r\n");
  std::string listing = client.readUntil("IP-Symcon>");
  EXPECT_NE(listing.find("Erdgeschoss"), std::string::npos) << listing;
  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);
  std::vector<std::string> lines = ServiceLines(velmar.Stderr());
  ASSERT_FALSE(lines.empty());
  const int simPort = PortAfterColon(lines.front(), "http://127.0.0.1");
  std::vector<std::string> expected = {
      "velmar: demo server (a simulated IP-Symcon with a demo home) on http://127.0.0.1:" +
      std::to_string(simPort) + "/api/"};
  for (const std::string& line : ListeningLines(port)) expected.push_back(line);
  EXPECT_EQ(lines, expected) << velmar.Stderr();
}

TEST(HeadlessTest, NotesAServerThatClosesAKeptConnectionAtOnce) {
  for (bool closes : {false, true}) {
    SCOPED_TRACE(closes ? "closes" : "keeps");
    velmar::sim::Simulator sim(velmar::sim::SimulatorOptions{});
    sim.start();
    if (closes) sim.setRepliesPerConnection(1);
    Process velmar(Velmar({"--port", std::to_string(sim.port()), "--telnet-port", "0", "--listen",
                           "127.0.0.1", "--shutdown-minutes", "0"}));
    ASSERT_GT(TelnetPort(velmar), 0);  // the note comes before this line
    velmar.Signal(SIGTERM);
    EXPECT_EQ(velmar.Wait(), 0);
    const std::string err = velmar.Stderr();
    EXPECT_EQ(err.find("--http-reuse off") != std::string::npos, closes) << err;
  }
}

TEST(HeadlessTest, ShutdownTimerEndsTheService) {
  Process velmar(
      Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--shutdown-minutes", "0.05"}));
  EXPECT_EQ(velmar.StdoutLine(), "IPS Version 6.4 detected.");
  EXPECT_EQ(velmar.StdoutLine(), "Connected");
  EXPECT_EQ(velmar.StdoutLine(), "Online");
  int port = TelnetPort(velmar);
  ASSERT_GT(port, 0);
  TelnetClient client(static_cast<std::uint16_t>(port));
  client.readUntil("IP-Symcon>");

  // Nothing but the timer stops it (3 s); the deadlines only keep a broken build from hanging.
  EXPECT_EQ(velmar.StdoutLine(30s), "Offline");
  EXPECT_EQ(velmar.StdoutLine(), "Disconected");
  EXPECT_EQ(velmar.Wait(), 0);
  EXPECT_TRUE(client.waitClosed());
}

// The states on stdout are one line each, whatever the server calls its version; what the
// server says in an error reaches stderr without a control character.
TEST(HeadlessTest, ServerTextReachesStdoutAndStderrInert) {
  using velmar::testing::HostileReply;
  const std::string R = "\xEF\xBF\xBD";
  {
    velmar::testing::HostileServer server([](const std::string&, const std::string&) {
      return HostileReply::Result(
          velmar::testing::JsonString("6.4\nOffline\nDisconected\n\x1b]0;owned\x07\x1b[2J"));
    });
    Process velmar(Velmar({"--port", std::to_string(server.port()), "--telnet-port", "0",
                           "--listen", "127.0.0.1", "--shutdown-minutes", "0"}));
    EXPECT_EQ(velmar.StdoutLine(), "IPS Version 6.4" + R + "Offline" + R + "Disconected" + R + R +
                                       "]0;owned" + R + R + "[2J detected.");
    EXPECT_EQ(velmar.StdoutLine(), "Connected");
    EXPECT_EQ(velmar.StdoutLine(), "Online");
    velmar.Signal(SIGTERM);
    EXPECT_EQ(velmar.Wait(), 0);
    EXPECT_EQ(velmar.RestOfStdout(), "Offline\nDisconected\n");
  }
  velmar::testing::HostileServer failing([](const std::string&, const std::string&) {
    return HostileReply::Raw(
        "HTTP/1.1 200 OK\r\nContent-Length: 71\r\n\r\n"
        "{\"jsonrpc\":\"2.0\",\"error\":{\"code\":1,\"message\":\"\\u001b[2J\\nfake\"},\"id\":1}");
  });
  Process velmar(Velmar(
      {"--port", std::to_string(failing.port()), "--telnet-port", "0", "--listen", "127.0.0.1"}));
  EXPECT_EQ(velmar.Wait(), 1);
  EXPECT_NE(velmar.Stderr().find(": " + R + "[2J" + R + "fake\n"), std::string::npos)
      << velmar.Stderr();
  EXPECT_EQ(velmar.Stderr().find('\x1b'), std::string::npos);
}

TEST(HeadlessTest, ListenLimitsTheAddressesAndWarnsWhenExposed) {
  {
    Process velmar(
        Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--listen", "127.0.0.1",
                "--shutdown-minutes", "0", "--max-connections", kFewConnections}));
    int port = TelnetPort(velmar);
    ASSERT_GT(port, 0);
    TelnetClient ok("127.0.0.1", static_cast<std::uint16_t>(port));
    EXPECT_THROW(TelnetClient("127.0.0.2", static_cast<std::uint16_t>(port)), velmar::Error);
    velmar.Signal(SIGTERM);
    EXPECT_EQ(velmar.Wait(), 0);
    std::vector<std::string> lines = ServiceLines(velmar.Stderr());
    ASSERT_EQ(lines.size(), 3u) << velmar.Stderr();  // demo server, listening, connect with
    lines.erase(lines.begin());
    EXPECT_EQ(lines, ListeningLines(port));
  }
  {
    Process velmar(
        Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--listen", "0.0.0.0",
                "--shutdown-minutes", "0", "--max-connections", kFewConnections}));
    int port = TelnetPort(velmar);
    ASSERT_GT(port, 0);
    TelnetClient other("127.0.0.2", static_cast<std::uint16_t>(port));
    velmar.Signal(SIGTERM);
    EXPECT_EQ(velmar.Wait(), 0);
    const std::vector<std::string> lines = ServiceLines(velmar.Stderr());
    const std::string shown = std::to_string(port);
    const std::vector<std::string> expected = {
        "velmar: Telnet listening on 0.0.0.0:" + shown,
        "velmar: warning: the Telnet shell has no login; anyone who can reach this port controls "
        "the IP-Symcon server (use --listen 127.0.0.1 to keep it local)",
        "velmar: connect with: telnet 127.0.0.1 " + shown +
            "   (type help in the shell; Ctrl+C here stops Velmar)"};
    ASSERT_EQ(lines.size(), 4u) << velmar.Stderr();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);
  }
}

// A users file kept with velmar-passwd in a temporary folder.
class UsersFolder {
 public:
  UsersFolder() {
    char dir[] = "/tmp/velmar-access-XXXXXX";
    if (::mkdtemp(dir) == nullptr) throw velmar::Error("mkdtemp");
    dir_ = dir;
  }
  ~UsersFolder() {
    const std::string command = "rm -rf '" + dir_ + "'";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs velmar-passwd with `password` on stdin; its exit code.
  std::optional<int> Passwd(const std::string& password, const std::string& args,
                            std::string* err = nullptr) {
    Process passwd({"/bin/sh", "-c",
                    "printf '%s\\n' '" + password + "' | '" + kBin + "/velmar-passwd' " + args});
    auto code = passwd.Wait(60s);
    if (err) *err = passwd.Stderr();
    return code;
  }

 private:
  std::string dir_;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Logs in; returns the line that answers the password, and after a success what follows up
// to the prompt.
std::string TryLogin(int port, const std::string& name, const std::string& password) {
  TelnetClient client(static_cast<std::uint16_t>(port));
  client.readUntil("Login: ", 20s);
  client.send(name + "\r\n");
  client.readUntil("Password: ", 20s);
  client.send(password + "\r\n");
  client.readUntil("\r\n", 20s);
  std::string reply = client.readUntil("\r\n", 20s);
  if (reply.rfind("You are logged in", 0) == 0) reply += client.readUntil(">\x1b[0m", 20s);
  return reply;
}

TEST(HeadlessAccessTest, PasswdAddsUpdatesListsAndDeletesUsers) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  EXPECT_EQ(folder.Passwd("s3cret", "--stdin -c " + users + " admin --level 10"), 0);
  EXPECT_EQ(folder.Passwd("op-pw", "--stdin " + users + " op --level 5"), 0);
  EXPECT_EQ(folder.Passwd("new-pw", "--stdin " + users + " admin"), 0);  // keeps level 10

  struct stat info {};
  ASSERT_EQ(::stat(users.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string text = ReadText(users);
  EXPECT_EQ(text.rfind("admin:10:$argon2id$", 0), 0u) << text;
  EXPECT_NE(text.find("\nop:5:$argon2id$"), std::string::npos) << text;
  EXPECT_EQ(text.find("s3cret"), std::string::npos);

  Process list({kBin + "/velmar-passwd", "--list", users});
  EXPECT_EQ(list.Wait(), 0);
  EXPECT_EQ(list.RestOfStdout(), "admin 10\nop 5\n");

  Process remove({kBin + "/velmar-passwd", "-D", users, "op"});
  EXPECT_EQ(remove.Wait(), 0);
  Process after({kBin + "/velmar-passwd", "--list", users});
  EXPECT_EQ(after.Wait(), 0);
  EXPECT_EQ(after.RestOfStdout(), "admin 10\n");

  // Bad input changes nothing.
  std::string err;
  EXPECT_EQ(folder.Passwd("", "--stdin " + users + " empty", &err), 1);
  EXPECT_NE(err.find("the password is empty"), std::string::npos) << err;
  EXPECT_EQ(folder.Passwd("x", "--stdin " + users + " 'a:b'", &err), 1);
  EXPECT_EQ(folder.Passwd("x", "--stdin " + users + " admin --level 7", &err), 64);
  EXPECT_EQ(ReadText(users).find("empty"), std::string::npos);
}

TEST(HeadlessAccessTest, LoginAgainstTheUsersFileAndReloadOnSighup) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  const std::string log = folder.Path("audit.log");
  ASSERT_EQ(folder.Passwd("admin-pw", "--stdin -c " + users + " admin --level 10"), 0);

  Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users,
                         "--audit-log", log, "--shutdown-minutes", "0"}));
  const int port = TelnetPort(velmar);
  ASSERT_GT(port, 0);
  EXPECT_NE(TryLogin(port, "admin", "admin-pw").find("You are logged in as admin."),
            std::string::npos);
  EXPECT_NE(TryLogin(port, "kitchen", "k-pw").find("Login incorrect"), std::string::npos);

  // A good file is taken on SIGHUP; the log moved away by logrotate is opened anew.
  ASSERT_EQ(folder.Passwd("k-pw", "--stdin " + users + " kitchen --level 5"), 0);
  ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
  velmar.Signal(SIGHUP);
  EXPECT_TRUE(velmar.StderrLineWith("users file reloaded: 2 users"));
  EXPECT_NE(TryLogin(port, "kitchen", "k-pw").find("+IP-Symcon>"), std::string::npos);

  // A bad file is refused, and the users loaded before stay.
  { std::ofstream(users, std::ios::app) << "broken line\n"; }
  velmar.Signal(SIGHUP);
  auto refused = velmar.StderrLineWith("was not reloaded");
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->find(users + ":3: expected NAME:LEVEL:HASH"), std::string::npos) << *refused;
  EXPECT_NE(TryLogin(port, "kitchen", "k-pw").find("+IP-Symcon>"), std::string::npos);

  // So is a file that someone else could have written, however good its lines.
  ASSERT_EQ(folder.Passwd("x-pw", "--stdin -c " + users + " intruder --level 10"), 0);
  ASSERT_EQ(::chmod(users.c_str(), 0660), 0);
  velmar.Signal(SIGHUP);
  refused = velmar.StderrLineWith("was not reloaded");
  ASSERT_TRUE(refused);
  EXPECT_EQ(*refused,
            "velmar: the users file was not reloaded, the users loaded before stay: " + users +
                ": refused: its group may write the users file (chmod g-w " + users + ")");
  EXPECT_NE(TryLogin(port, "intruder", "x-pw").find("Login incorrect"), std::string::npos);

  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);
  const std::string err = velmar.Stderr();
  EXPECT_NE(err.find("velmar: audit: login ok user=\"admin\""), std::string::npos) << err;
  EXPECT_NE(err.find("velmar: audit: login failed user=\"kitchen\""), std::string::npos) << err;
  EXPECT_EQ(err.find("admin-pw"), std::string::npos);
  EXPECT_EQ(err.find("k-pw"), std::string::npos);
  const std::string before = ReadText(log + ".1"), after = ReadText(log);
  EXPECT_NE(before.find("login ok user=\"admin\""), std::string::npos) << before;
  EXPECT_NE(after.find("login ok user=\"kitchen\""), std::string::npos) << after;
  EXPECT_EQ(after.find("user=\"admin\""), std::string::npos) << after;
}

TEST(HeadlessAccessTest, AReloadThatRemovesAUserEndsItsSessionsAndLogins) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  ASSERT_EQ(folder.Passwd("admin-pw", "--stdin -c " + users + " admin --level 10"), 0);
  ASSERT_EQ(folder.Passwd("victim-pw", "--stdin " + users + " victim --level 5"), 0);
  Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users,
                         "--shutdown-minutes", "0"}));
  const auto port = static_cast<std::uint16_t>(TelnetPort(velmar));
  ASSERT_GT(port, 0);
  TelnetClient atLogin(port);  // waits at its password across the reload
  atLogin.readUntil("Login: ", 20s);
  atLogin.send("victim\r\n");
  atLogin.readUntil("Password: ", 20s);
  TelnetClient loggedIn(port);
  loggedIn.readUntil("Login: ", 20s);
  loggedIn.send("victim\r\n");
  loggedIn.readUntil("Password: ", 20s);
  loggedIn.send("victim-pw\r\n");
  loggedIn.readUntil("+IP-Symcon>\x1b[0m", 20s);

  Process remove({kBin + "/velmar-passwd", "-D", users, "victim"});
  ASSERT_EQ(remove.Wait(), 0);
  velmar.Signal(SIGHUP);
  ASSERT_TRUE(velmar.StderrLineWith("users file reloaded: 1 users"));
  EXPECT_EQ(loggedIn.readToEnd(20s), "Your account was removed.\r\n");
  atLogin.send("victim-pw\r\n");
  EXPECT_NE(atLogin.readUntil("Login incorrect\r\n", 20s).find("Login incorrect"),
            std::string::npos);

  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);
  const std::string err = velmar.Stderr();
  EXPECT_NE(err.find("velmar: audit: session ended user=\"victim\""), std::string::npos) << err;
  EXPECT_EQ(err.find("login ok user=\"victim\"", err.find("users file reloaded")),
            std::string::npos)
      << err;
}

// stderr is read line by line (journald, a log file): the service's own lines and the audit
// lines of many connection threads must each arrive whole while reloads write theirs.
TEST(HeadlessAccessTest, StderrLinesStayWholeWhileThreadsLogAndReloadsHappen) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  ASSERT_EQ(folder.Passwd("admin-pw", "--stdin -c " + users + " admin --level 10"), 0);
  Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users,
                         "--shutdown-minutes", "0"}));
  const int port = TelnetPort(velmar);
  ASSERT_GT(port, 0);

  // Connections opened and closed without pause, each one logged by its own thread.
  std::atomic<bool> done{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      while (!done.load()) {
        try {
          TelnetClient client(static_cast<std::uint16_t>(port));
          client.readUntil("Login: ");
        } catch (const velmar::Error&) {
          // A refused or cut connection is logged all the same.
        }
      }
    });
  }
  constexpr int kReloads = 200;
  int reloaded = 0;
  for (int i = 0; i < kReloads; ++i) {
    velmar.Signal(SIGHUP);
    if (velmar.StderrLineWith("users file reloaded")) ++reloaded;
  }
  done = true;
  for (auto& client : clients) client.join();
  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);

  const std::string err = velmar.Stderr();
  std::istringstream lines(err);
  std::string line;
  int whole = 0;
  int audit = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("velmar: ", 0), 0u) << line;
    EXPECT_EQ(line.find("velmar: ", 1), std::string::npos) << line;
    if (line == "velmar: users file reloaded: 1 users") ++whole;
    if (line.rfind("velmar: audit: connection ", 0) == 0) ++audit;
  }
  EXPECT_EQ(reloaded, kReloads);
  EXPECT_EQ(whole, kReloads);
  EXPECT_GT(audit, 0);
  std::printf("[ headless ] %d reloads and %d audit lines logged\n", whole, audit);
}

// Short of open files, the service refuses new connections (with an audit line) before the
// sessions already in run out: a logged-in session's server requests still work when silent
// clients have taken every seat the limit serves. velmar warns about it at start.
TEST(HeadlessAccessTest, ConnectionsAreRefusedBeforeTheSessionsInRunOutOfDescriptors) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  ASSERT_EQ(folder.Passwd("admin-pw", "--stdin -c " + users + " admin --level 10"), 0);
  // The hard limit too, which velmar would otherwise raise the soft one to.
  Process velmar({"/bin/sh", "-c", "ulimit -Sn 160 && ulimit -Hn 160 && exec \"$0\" \"$@\"",
                  kBin + "/velmar", "--demo", "--demo-port", "0", "--telnet-port", "0", "--users",
                  users, "--max-per-address", "0", "--shutdown-minutes", "0"});
  const int port = TelnetPort(velmar);
  ASSERT_GT(port, 0) << velmar.Stderr();
  const auto warning = velmar.StderrLineWith("open-file limit");
  ASSERT_TRUE(warning) << velmar.Stderr();
  EXPECT_EQ(warning->rfind("velmar: warning: the open-file limit (160) serves about ", 0), 0u)
      << *warning;
  EXPECT_NE(warning->find("fewer than --max-connections 1000"), std::string::npos) << *warning;

  TelnetClient admin(static_cast<std::uint16_t>(port));
  admin.readUntil("Login: ");
  admin.send("admin\r\n");
  admin.readUntil("Password: ");
  admin.send("admin-pw\r\n");
  admin.readUntil("@IP-Symcon>\x1b[0m", 20s);

  std::vector<std::unique_ptr<TelnetClient>> silent;
  bool refused = false;
  for (int i = 0; i < 100 && !refused; ++i) {
    silent.push_back(std::make_unique<TelnetClient>(static_cast<std::uint16_t>(port)));
    refused = silent.back()->readUntil("\r\n") == "Too many connections.\r\n";
  }
  std::printf("[ headless ] %zu silent connections, the last refused: %d\n", silent.size(),
              refused);
  ASSERT_TRUE(refused) << silent.size() << " silent connections taken";
  const auto audit = velmar.StderrLineWith("connection refused");
  ASSERT_TRUE(audit);
  EXPECT_NE(audit->find(" reason=\"too few open files left\""), std::string::npos) << *audit;

  admin.send("ls 0\r\n");
  EXPECT_NE(admin.readUntil("@IP-Symcon>\x1b[0m", 20s).find("Erdgeschoss"), std::string::npos);
  velmar.Signal(SIGTERM);
  EXPECT_EQ(velmar.Wait(), 0);
}

TEST(HeadlessAccessTest, ABadUsersFileStopsTheStart) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  { std::ofstream(users) << "# users\nadmin:11:x\n"; }
  ::chmod(users.c_str(), 0600);
  Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users}));
  EXPECT_EQ(velmar.Wait(), 64);
  EXPECT_NE(velmar.Stderr().find(users + ":2: the level of 'admin' must be 1, 5 or 10"),
            std::string::npos)
      << velmar.Stderr();
  EXPECT_EQ(velmar.RestOfStdout(), "");

  ::chmod(users.c_str(), 0666);
  Process writable(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users}));
  EXPECT_EQ(writable.Wait(), 64);
  EXPECT_NE(writable.Stderr().find("others may write"), std::string::npos) << writable.Stderr();

  ASSERT_EQ(folder.Passwd("admin-pw", "--stdin -c " + users + " admin --level 10"), 0);
  ::chmod(users.c_str(), 0620);
  Process group(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users}));
  EXPECT_EQ(group.Wait(), 64);
  EXPECT_EQ(group.Stderr(), "velmar: " + users +
                                ": refused: its group may write the users file (chmod g-w " +
                                users + ")\n");
  EXPECT_EQ(group.RestOfStdout(), "");
}

TEST(HeadlessSshTest, SshNeedsAUsersFile) {
  Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--ssh-port", "0"}));
  EXPECT_EQ(velmar.Wait(), 64);
  EXPECT_NE(velmar.Stderr().find("--users"), std::string::npos) << velmar.Stderr();
  EXPECT_EQ(velmar.RestOfStdout(), "");
}

TEST(HeadlessSshTest, AHostKeyOthersMayReadStopsTheStart) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  const std::string key = folder.Path("host_key");
  ASSERT_EQ(folder.Passwd("alice-pw", "--stdin -c " + users + " alice --level 10"), 0);
  const auto args = Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users,
                            "--ssh-port", "0", "--ssh-host-key", key, "--shutdown-minutes", "0"});
  {
    Process first(args);
    ASSERT_TRUE(first.StderrLineWith("SSH host key ")) << first.Stderr();
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
  }
  ASSERT_EQ(::chmod(key.c_str(), 0644), 0);
  Process velmar(args);
  EXPECT_EQ(velmar.Wait(), 64);
  EXPECT_EQ(velmar.Stderr(), "velmar: The SSH host key " + key +
                                 " is open to other users (mode 0644); make it private with: "
                                 "chmod 600 " +
                                 key + "\n");
  EXPECT_EQ(velmar.RestOfStdout(), "");
}

TEST(HeadlessSshTest, HostKeyIsMadeOnceKeptPrivateAndShownByItsFingerprint) {
  UsersFolder folder;
  const std::string users = folder.Path("users");
  const std::string key = folder.Path("host_key");
  ASSERT_EQ(folder.Passwd("alice-pw", "--stdin -c " + users + " alice --level 10"), 0);
  velmar::testing::SshClientFiles client;

  std::string shown;
  for (const char* start : {"first", "second"}) {
    SCOPED_TRACE(start);
    Process velmar(Velmar({"--demo", "--demo-port", "0", "--telnet-port", "0", "--users", users,
                           "--ssh-port", "0", "--ssh-host-key", key, "--shutdown-minutes", "0"}));
    const auto line = velmar.StderrLineWith("SSH host key ");
    ASSERT_TRUE(line) << velmar.Stderr();
    EXPECT_EQ(line->rfind("velmar: SSH host key " + key + ": ED25519 SHA256:", 0), 0u) << *line;
    if (shown.empty()) shown = *line;
    EXPECT_EQ(*line, shown);  // the second start keeps the key

    struct stat info {};
    ASSERT_EQ(::stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // ssh-keygen shows the same fingerprint.
    const velmar::testing::CommandRun keygen = velmar::testing::RunCommand("ssh-keygen -lf " + key);
    ASSERT_EQ(keygen.status, 0) << keygen.err;
    std::istringstream words(keygen.out);  // "256 SHA256:... comment (ED25519)"
    std::string bits, fingerprint;
    words >> bits >> fingerprint;
    EXPECT_EQ(fingerprint.rfind("SHA256:", 0), 0u) << keygen.out;
    EXPECT_EQ(line->substr(line->find("SHA256:")), fingerprint);

    // And the service answers over SSH.
    const auto listening = velmar.StderrLineWith("SSH listening on ");
    ASSERT_TRUE(listening) << velmar.Stderr();
    const int port = PortAfterColon(*listening, "listening on ");
    const velmar::testing::CommandRun run = velmar::testing::RunCommand(
        client.withPassword(port, "alice-pw") + " alice@127.0.0.1 uptime");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("IPS: ", 0), 0u) << run.out;

    velmar.Signal(SIGTERM);
    EXPECT_EQ(velmar.Wait(), 0);
  }
}

}  // namespace
