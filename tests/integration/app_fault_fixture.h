#pragma once

// The whole service (controller, listener, the standard command table) against a simulated
// server that misbehaves on request. The simulated server runs in a child process, so that
// the threads and descriptors counted in /proc/self belong to the service and the test alone:
// a connection thread or a socket that a failure leaves behind shows up in the counts.

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "api/json_rpc.h"
#include "app/controller.h"
#include "core/error.h"
#include "sim/simulator.h"
#include "support/telnet_client.h"
#include "text/console_layout.h"

namespace velmar::app::faults {

using namespace std::chrono_literals;
using velmar::testing::TelnetClient;

// A small home: a category with a child, an integer variable, a script with output and a
// link, all directly under the root.
inline const char* kFaultTree = R"({"objects":[
  {"id":10100,"name":"Floor"},
  {"id":10101,"parent":10100,"name":"Lamp","type":"variable","variable":{"type":"boolean"}},
  {"id":20000,"name":"Counter","type":"variable","variable":{"type":"integer","value":42}},
  {"id":30000,"name":"Hello","type":"script","script":{"output":"Hi<br>there"}},
  {"id":40000,"name":"Go","type":"link","link":{"target":10100}}
]})";

inline constexpr const char* kPromptStart = "\x1b[36;1m";
inline constexpr const char* kPromptEnd = ">\x1b[0m";

// Entries of a /proc directory, "." and ".." left out.
inline int CountEntries(const char* path) {
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// Threads and open descriptors of this process (the descriptor that reads /proc/self/fd is
// closed again before the count is taken).
struct Resources {
  int threads = 0;
  int fds = 0;
  bool operator==(const Resources&) const = default;
};

inline Resources CountResources() {
  Resources now;
  now.threads = CountEntries("/proc/self/task");
  now.fds = CountEntries("/proc/self/fd") - 1;
  return now;
}

inline std::string ToText(const Resources& r) {
  return std::to_string(r.threads) + " threads, " + std::to_string(r.fds) + " descriptors";
}

// Waits until the counts equal `expected` (threads end and sockets close a moment after the
// event that ends them); false with the last counts in `last` when the deadline passes.
inline bool SettlesAt(const Resources& expected, Resources* last = nullptr,
                      std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Resources now = CountResources();
  while (!(now == expected) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);  // polling /proc, bounded by the deadline
    now = CountResources();
  }
  if (last != nullptr) *last = now;
  return now == expected;
}

#define EXPECT_SETTLES_AT(expected)                                             \
  do {                                                                          \
    ::velmar::app::faults::Resources last_;                                     \
    EXPECT_TRUE(::velmar::app::faults::SettlesAt((expected), &last_))           \
        << "expected " << ::velmar::app::faults::ToText(expected) << ", still " \
        << ::velmar::app::faults::ToText(last_);                                \
  } while (0)

// The simulated server in a child process, steered over a pair of pipes with one text line
// per request and one per answer.
class SimHost {
 public:
  // A child forked from a process with threads can hang for good in a lock that another thread
  // held at the fork (the sanitizer runtimes keep a thread of their own); a child that does not
  // report its port is killed and another one started.
  explicit SimHost(const std::string& tree) {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
      Launch(tree);
      try {
        port_ = std::stoi(Expect(Ask("")));
        return;
      } catch (const Error&) {
        Abandon();
        if (attempt == kAttempts) throw;
      }
    }
  }

  ~SimHost() {
    ::close(out_);  // the child stops its server and exits at end of input
    // Its end of the answer pipe closes when it exits.
    pollfd p{in_, POLLIN, 0};
    char c;
    while (::poll(&p, 1, 5000) > 0 && ::read(in_, &c, 1) > 0) {
    }
    ::close(in_);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  int port() const { return port_; }

  // Every request of `method` ("" = every method) gets `fault` from now on.
  void SetFault(const std::string& method, const sim::Fault& fault) {
    std::ostringstream line;
    line << "fault " << static_cast<int>(fault.kind) << ' ' << fault.status << ' '
         << fault.delay.count() << ' ' << (method.empty() ? "-" : method);
    Expect(Ask(line.str()));
  }
  void ClearFaults() { Expect(Ask("clear")); }
  // Stops the server; its port is closed until Start.
  void Stop() { Expect(Ask("stop")); }
  // Starts a new server with the same tree on `port`.
  void Start(int port) { port_ = std::stoi(Expect(Ask("start " + std::to_string(port)))); }
  // How many requests of `method` the server has received.
  int Requests(const std::string& method) { return std::stoi(Expect(Ask("count " + method))); }

 private:
  void Launch(const std::string& tree) {
    int toChild[2];
    int fromChild[2];
    if (::pipe(toChild) != 0) throw Error("pipe failed");
    if (::pipe(fromChild) != 0) {
      ::close(toChild[0]);
      ::close(toChild[1]);
      throw Error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(toChild[1]);
      ::close(fromChild[0]);
      ChildMain(toChild[0], fromChild[1], tree);  // never returns
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    out_ = toChild[1];
    in_ = fromChild[0];
    if (pid_ < 0) {
      Abandon();
      throw Error("fork failed");
    }
  }

  // Kills the child, if any, and closes both pipes.
  void Abandon() {
    if (pid_ > 0) {
      int status = 0;
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    ::close(out_);
    ::close(in_);
    pid_ = -1;
    out_ = in_ = -1;
  }

  std::string Ask(const std::string& request) {
    if (!request.empty()) {
      const std::string line = request + "\n";
      if (::write(out_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        throw Error("simulator host: write failed");
    }
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{in_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        throw Error("simulator host: no answer to \"" + request + "\"");
      char c;
      if (::read(in_, &c, 1) != 1) throw Error("simulator host: gone");
      if (c == '\n') return answer;
      answer += c;
    }
  }

  static std::string Expect(const std::string& answer) {
    if (answer.rfind("ok", 0) != 0) throw Error("simulator host: " + answer);
    return answer.size() > 3 ? answer.substr(3) : std::string();
  }

  [[noreturn]] static void ChildMain(int in, int out, const std::string& tree) {
    auto reply = [out](const std::string& text) {
      const std::string line = text + "\n";
      [[maybe_unused]] ssize_t written = ::write(out, line.data(), line.size());
    };
    try {
      sim::SimulatorOptions options;
      options.treeJson = tree;
      auto server = std::make_unique<sim::Simulator>(options);
      server->start();
      reply("ok " + std::to_string(server->port()));
      std::string line;
      char c;
      while (::read(in, &c, 1) == 1) {
        if (c != '\n') {
          line += c;
          continue;
        }
        std::istringstream words(line);
        line.clear();
        std::string verb;
        words >> verb;
        try {
          if (verb == "fault") {
            int kind = 0, status = 0;
            long delay = 0;
            std::string method;
            words >> kind >> status >> delay >> method;
            sim::Fault fault{static_cast<sim::FaultKind>(kind)};
            fault.status = status;
            fault.delay = std::chrono::milliseconds(delay);
            server->setFault(method == "-" ? "" : method, fault);
            reply("ok");
          } else if (verb == "clear") {
            server->clearFaults();
            reply("ok");
          } else if (verb == "stop") {
            server->stop();
            reply("ok");
          } else if (verb == "start") {
            options.port = 0;
            words >> options.port;
            server.reset();
            server = std::make_unique<sim::Simulator>(options);
            server->start();
            reply("ok " + std::to_string(server->port()));
          } else if (verb == "count") {
            std::string method;
            words >> method;
            int count = 0;
            for (const auto& request : server->requests()) {
              if (request.body.find("\"method\":\"" + method + "\"") != std::string::npos) ++count;
            }
            reply("ok " + std::to_string(count));
          } else {
            reply("unknown request " + verb);
          }
        } catch (const std::exception& e) {
          reply(std::string("failed: ") + e.what());
        }
      }
      server.reset();
    } catch (const std::exception& e) {
      reply(std::string("failed: ") + e.what());
    }
    ::_exit(0);
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int port_ = 0;
};

// What one command line produced: the bytes before the next prompt, and that prompt's text.
struct CommandResult {
  std::string output;
  std::string prompt;
  bool operator==(const CommandResult&) const = default;
};

inline void PrintTo(const CommandResult& r, std::ostream* os) {
  *os << "output " << ::testing::PrintToString(r.output) << ", prompt "
      << ::testing::PrintToString(r.prompt);
}

// One Telnet client of the service, greeted and at its first prompt.
class Shell {
 public:
  explicit Shell(std::uint16_t port) : client_(port) {
    client_.readUntil(std::string(kPromptStart) + "IP-Symcon" + kPromptEnd);
  }

  // Sends one command line and returns the output up to the next prompt (without the CR LF
  // that the shell writes before every prompt) and that prompt's text.
  CommandResult Run(const std::string& line) {
    client_.send(line + "\r\n");
    std::string output = client_.readUntil(std::string("\r\n") + kPromptStart);
    output.resize(output.size() - 2 - std::string(kPromptStart).size());
    std::string prompt = client_.readUntil(kPromptEnd);
    prompt.resize(prompt.size() - std::string(kPromptEnd).size());
    return {output, prompt};
  }

  // Sends one command line and returns everything that came until the service closed the
  // connection.
  std::string RunUntilClosed(const std::string& line) {
    client_.send(line + "\r\n");
    return client_.readToEnd();
  }

  TelnetClient& client() { return client_; }

 private:
  TelnetClient client_;
};

// The service as `velmar` runs it: Connect pressed against the simulated server, listener on
// an ephemeral loopback port. The counts taken before anything starts must come back once
// everything is switched off and the simulated server is gone.
class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A client that the service has dropped must not take the test process down with it.
    ::signal(SIGPIPE, SIG_IGN);
  }

  void SetUp() override {
    api::InitializeRPCModule();
    // A sanitizer runtime starts a helper thread of its own with the first thread the
    // process creates; let that happen before the count.
    std::thread([] {}).join();
    baseline_ = CountResources();
    text::gConsoleChars.store(80);
    host_ = std::make_unique<SimHost>(kFaultTree);

    ControllerSettings settings;
    settings.shutdownInterval = 0ms;
    settings.listenAddresses = {"127.0.0.1"};
    controller_ = std::make_unique<Controller>(settings);
    controller_->FormCreate();
    controller_->fields().port = Utf16(std::to_string(host_->port()));
    controller_->fields().telnetPort = Utf16("0");
    const ConnectResult result = controller_->BtnConnectClick();
    ASSERT_EQ(result.outcome, ConnectOutcome::Done) << result.message;
  }

  void TearDown() override {
    if (controller_) controller_->TimerShutdownTimer();
    controller_.reset();
    host_.reset();
    // Every connection thread joined, every socket closed, the child process gone. The main
    // thread's client was released by the switch-off, so its connection is closed too.
    EXPECT_SETTLES_AT(baseline_);
  }

  std::uint16_t port() const { return controller_->listener().boundPort(); }

  static std::u16string Utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
  }

  Resources baseline_;
  std::unique_ptr<SimHost> host_;
  std::unique_ptr<Controller> controller_;
};

}  // namespace velmar::app::faults
