#include "ssh_rows.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "load_common.h"
#include "proc_figures.h"
#include "ssh_client.h"
#include "telnet_io.h"

extern char** environ;

namespace velmar::load {

namespace {

// velmar's connection threads (Telnet and SSH alike) run on stacks of this size.
constexpr long kConnectionStackKiB = 256;
// Sessions are opened and run the mix this many at a time: logins and key exchanges overlap.
constexpr int kClientThreads = 4;

// Runs work(i) for every i below k on kClientThreads threads, each taking the next i.
void inParallel(std::size_t k, const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClientThreads; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = next++; i < k; i = next++) work(i);
    });
  }
  for (auto& thread : threads) thread.join();
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The velmars started here and still running: stopped when the program ends early (fail()).
std::vector<pid_t>& running() {
  static std::vector<pid_t> pids;
  return pids;
}

void stopRunning() {
  for (const pid_t pid : running()) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  running().clear();
}

// A velmar with the users file and SSH, started here so that each measurement begins with a
// fresh process; its stderr (audit lines) goes to a file beside the users file.
class LoginVelmar {
 public:
  LoginVelmar(const Args& args, const std::string& name) {
    const std::string dir = directoryOf(args.usersFile);
    errPath_ = dir + "/" + name + ".err";
    std::vector<std::string> argv = {
        args.velmarPath, "--host", "127.0.0.1", "--port", std::to_string(args.simPort),
        "--telnet-port", "0", "--listen", "127.0.0.1", "--shutdown-minutes", "0",
        // All sessions come from one address.
        "--max-connections", "4096", "--max-per-address", "4096", "--users", args.usersFile,
        "--ssh-port", "0", "--ssh-host-key", dir + "/ssh_host_ed25519_key", "--ssh-authorized-keys",
        args.authorizedKeysDir};
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int rc =
        posix_spawn(&pid_, args.velmarPath.c_str(), &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) fail("cannot start " + args.velmarPath);
    static const bool registered = std::atexit(stopRunning) == 0;
    (void)registered;
    running().push_back(pid_);
    // "velmar: Telnet listening on 127.0.0.1:PORT", later "velmar: SSH listening on ..."
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (telnetPort_ == 0 || sshPort_ == 0) {
      if (Clock::now() > deadline) fail("the velmar with users did not start: " + errors());
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        forget();
        fail("the velmar with users ended: " + errors());
      }
      const std::string err = errors();
      telnetPort_ = portAfter(err, "Telnet listening on 127.0.0.1:");
      sshPort_ = portAfter(err, "SSH listening on 127.0.0.1:");
      poll(nullptr, 0, 20);
    }
  }

  ~LoginVelmar() {
    if (pid_ == 0) return;
    kill(pid_, SIGTERM);
    // Switch-off closes every session and joins every thread; bounded all the same.
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) {
      if (i == 999) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      poll(nullptr, 0, 20);
    }
    forget();
  }

  LoginVelmar(const LoginVelmar&) = delete;
  LoginVelmar& operator=(const LoginVelmar&) = delete;

  int pid() const { return pid_; }
  int telnetPort() const { return telnetPort_; }
  int sshPort() const { return sshPort_; }

 private:
  void forget() {
    auto& pids = running();
    pids.erase(std::remove(pids.begin(), pids.end(), pid_), pids.end());
    pid_ = 0;
  }

  std::string errors() const {
    std::ifstream in(errPath_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  static int portAfter(const std::string& text, const std::string& marker) {
    const auto at = text.find(marker);
    if (at == std::string::npos || text.find('\n', at) == std::string::npos) return 0;
    return std::atoi(text.c_str() + at + marker.size());
  }

  pid_t pid_ = 0;
  int telnetPort_ = 0;
  int sshPort_ = 0;
  std::string errPath_;
};

// One transport's sessions: opens one, runs a command line on one (false: wrong or no reply),
// closes all.
struct Transport {
  std::function<void(const LoginVelmar&, std::size_t)> open;
  std::function<bool(std::size_t, const std::string&)> command;
  std::function<void()> closeAll;
};

// What velmar holds for one transport's idle sessions.
struct MemoryFigures {
  double perIdleKiB = 0;
  double perAfterMixKiB = 0;
  long stackIdleMaxKiB = 0;  // the deepest connection stack at the prompt
  long stackMixMaxKiB = 0;   // ... after a round of the mix
  std::size_t stacks = 0;    // connection stacks found
  bool good = true;
};

long maxOf(const std::vector<long>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// On a fresh velmar, after one login of each kind (`warm`): opens k sessions, measures, runs
// the mix once on each, measures again and closes them.
MemoryFigures measureSessions(const Args& args, const char* name, std::size_t k,
                              const std::function<void(const LoginVelmar&)>& warm,
                              const Transport& transport) {
  LoginVelmar velmar(args, name);
  const int pid = velmar.pid();
  warm(velmar);
  const ProcFigures idle = settled(pid);
  inParallel(k, [&](std::size_t i) { transport.open(velmar, i); });
  const ProcFigures held = settled(pid);
  const auto stacksIdle = threadStackResidentKiB(pid, kConnectionStackKiB);
  std::atomic<bool> replies{true};
  inParallel(k, [&](std::size_t i) {
    for (const auto& line : kMix) {
      if (!transport.command(i, line)) replies = false;
    }
  });
  MemoryFigures m;
  m.good = replies;
  const ProcFigures after = settled(pid);
  const auto stacksMix = threadStackResidentKiB(pid, kConnectionStackKiB);
  transport.closeAll();
  const double n = static_cast<double>(k);
  m.perIdleKiB = static_cast<double>(held.rssKiB - idle.rssKiB) / n;
  m.perAfterMixKiB = static_cast<double>(after.rssKiB - idle.rssKiB) / n;
  m.stackIdleMaxKiB = maxOf(stacksIdle);
  m.stackMixMaxKiB = maxOf(stacksMix);
  m.stacks = stacksIdle.size();
  if (stacksIdle.size() != k) m.good = false;
  return m;
}

// The reply to `ls` in the category lists its children.
bool plausible(const std::string& line, const std::string& reply) {
  return line != "ls" || reply.find("Verbrauch") != std::string::npos;
}

struct LoginWay {
  std::string label;
  std::function<void(const LoginVelmar&)> loginAndClose;  // stops the program on failure
  std::vector<double> times;                              // seconds from connect to prompt
  double velmarCpu = 0;                                   // seconds, over the counted logins
};

}  // namespace

bool sshRows(const Args& args) {
  const SshKey key(args.sshKey);
  std::vector<LoginWay> ways;
  const auto addWay = [&](std::string label, std::function<void(const LoginVelmar&)> login) {
    ways.emplace_back();
    ways.back().label = std::move(label);
    ways.back().loginAndClose = std::move(login);
  };
  addWay("Telnet, name and password", [&](const LoginVelmar& v) {
    close(telnetLogin(v.telnetPort(), args.loginUser, args.loginPassword));
  });
  const auto sshLogin = [&](const LoginVelmar& v, ssh_key k) {
    SshClient client;
    std::string error;
    if (!client.open(v.sshPort(), args.loginUser, k, args.loginPassword, error))
      fail("SSH login: " + error);
  };
  addWay("SSH, Ed25519 key, pty", [&](const LoginVelmar& v) { sshLogin(v, key.get()); });
  addWay("SSH, password, pty", [&](const LoginVelmar& v) { sshLogin(v, nullptr); });
  // One login of each kind, not counted: it warms caches, and velmar starts a thread of its
  // own at its first connection, which stays.
  const auto warm = [&](const LoginVelmar& v) {
    for (auto& way : ways) way.loginAndClose(v);
  };

  {
    LoginVelmar velmar(args, "velmar-logins");
    const int pid = velmar.pid();
    warm(velmar);
    const long baseThreads = settled(pid).threads;
    // Alternate the ways, so that a disturbance on the shared machine hits all alike. Each
    // login starts once the previous connection's thread has ended, so that velmar's CPU time
    // belongs to this login alone.
    for (long i = 0; i < args.logins; ++i) {
      for (auto& way : ways) {
        if (!waitForThreads(pid, baseThreads, std::chrono::seconds(30)))
          fail("velmar's connection threads did not end");
        const double cpu0 = processCpuSeconds(pid);
        const auto t0 = Clock::now();
        way.loginAndClose(velmar);
        const auto t1 = Clock::now();
        if (!waitForThreads(pid, baseThreads, std::chrono::seconds(30)))
          fail("velmar's connection threads did not end");
        way.times.push_back(seconds(t1 - t0));
        way.velmarCpu += processCpuSeconds(pid) - cpu0;
      }
    }
  }

  const auto k = static_cast<std::size_t>(args.sshSessions);
  std::vector<int> telnetFds(k, -1);
  const MemoryFigures telnet = measureSessions(
      args, "velmar-telnet-sessions", k, warm,
      {[&](const LoginVelmar& v, std::size_t i) {
         telnetFds[i] = telnetLogin(v.telnetPort(), args.loginUser, args.loginPassword);
       },
       [&](std::size_t i, const std::string& line) {
         writeAll(telnetFds[i], line + "\r\n");
         return plausible(line, readUntilSuffix(telnetFds[i], kPromptEnd));
       },
       [&] {
         for (int& fd : telnetFds) close(fd);
       }});
  std::vector<std::unique_ptr<SshClient>> sshClients(k);
  const MemoryFigures ssh = measureSessions(
      args, "velmar-ssh-sessions", k, warm,
      {[&](const LoginVelmar& v, std::size_t i) {
         sshClients[i] = std::make_unique<SshClient>();
         std::string error;
         if (!sshClients[i]->open(v.sshPort(), args.loginUser, key.get(), {}, error))
           fail("SSH session " + std::to_string(i + 1) + ": " + error);
       },
       [&](std::size_t i, const std::string& line) {
         std::string reply;
         return sshClients[i]->command(line, reply) && plausible(line, reply);
       },
       [&] { sshClients.clear(); }});

  const double refMedian = percentile(ways[0].times, 0.5);
  std::printf(
      "\nSSH against Telnet, velmar with a users file (one user; %zu sessions of each transport "
      "on a fresh velmar, opened %d at a time, memory at their prompt and after one round of "
      "the mix; %ld logins of each kind, one at a time, connect to prompt):\n",
      k, kClientThreads, args.logins);
  std::printf(
      "| transport | sessions | RSS per idle session KiB | ratio to Telnet | RSS per session after "
      "the mix KiB | login median ms | login p90 ms | ratio to Telnet | velmar CPU ms per login "
      "|\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (std::size_t w = 0; w < ways.size(); ++w) {
    const LoginWay& way = ways[w];
    const double median = percentile(way.times, 0.5);
    const MemoryFigures* m = w == 0 ? &telnet : w == 1 ? &ssh : nullptr;
    if (m != nullptr) {
      std::printf("| %s | %zu | %.1f | %.2f | %.1f |", way.label.c_str(), k, m->perIdleKiB,
                  m->perIdleKiB / telnet.perIdleKiB, m->perAfterMixKiB);
    } else {
      std::printf("| %s | | | | |", way.label.c_str());
    }
    std::printf(" %.1f | %.1f | %.2f | %.2f |\n", median * 1000, percentile(way.times, 0.9) * 1000,
                median / refMedian, way.velmarCpu * 1000 / static_cast<double>(way.times.size()));
  }
  std::printf(
      "\nconnection thread stacks (%ld KiB each), deepest use at the prompt / after the mix: "
      "Telnet %ld / %ld KiB, SSH %ld / %ld KiB (%zu and %zu stacks found)\n",
      kConnectionStackKiB, telnet.stackIdleMaxKiB, telnet.stackMixMaxKiB, ssh.stackIdleMaxKiB,
      ssh.stackMixMaxKiB, telnet.stacks, ssh.stacks);
  if (!telnet.good || !ssh.good) std::printf("some replies were wrong or stacks were not found\n");
  std::fflush(stdout);
  return telnet.good && ssh.good;
}

}  // namespace velmar::load
