#include "ssh_rows.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "load_common.h"
#include "login_velmar.h"
#include "proc_figures.h"
#include "ssh_client.h"
#include "telnet_io.h"

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
