// velmar-load: drives a running velmar (and the velmar-sim behind it) with many concurrent Telnet
// sessions over loopback and measures what a user and an operator care about: commands per
// second, latency per command, velmar's CPU time per command and its resident memory per open
// connection. Every reply is compared byte for byte with the reply that a single session got
// for the same command.
//
// Modes:
//   bench  the table for N = 1, 50, 200, 1000 sessions, and the `ls` time against the floor of
//          the protocol: the same HTTP requests sent one after the other by a minimal client,
//          a new TCP connection each; then `cd`, `ls` and `show` over a latency proxy
//          (latency_proxy.h) at the given round trips against that minimal client over the
//          same proxy.
//          With --users: then SSH against Telnet on velmars with that users file, started
//          here (ssh_rows.h): memory per idle session and the time from connect to prompt;
//          then the peak memory of many password logins at once (login_crowd.h).
//          Then watch: one round over the category's variables against the same requests
//          sent by a minimal client, and many sessions watching at once (watch_rows.h).
//   ssh    that SSH table alone.
//   crowd  the logins at once alone.
//   watch  the watch rows alone.
//   soak   N sessions cycling the mix for a fixed time; memory and descriptors over time.
//
// Every loop is bounded by a count and by a deadline.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"
#include "latency_rows.h"
#include "load_args.h"
#include "load_common.h"
#include "login_crowd.h"
#include "ls_floor.h"
#include "proc_figures.h"
#include "ssh_rows.h"
#include "telnet_io.h"
#include "watch_rows.h"

namespace velmar::load {
namespace {

void lsAgainstFloor(const Args& args, const Reference& ref) {
  std::string recordedReply;
  const auto recorded = recordLs(args.velmarPath, recordedReply);
  if (recordedReply != ref.replies[kLsIndex]) {
    fail("the recording velmar listed differently from the measured one");
  }
  const auto replay = buildReplay(recorded, args.simPort);

  const int fd = connectLoopback(args.telnetPort, true);
  if (!readExpected(fd, ref.greeting)) fail("greeting differs");
  writeAll(fd, kMix[0] + "\r\n");
  if (!readExpected(fd, ref.replies[0])) fail("cd reply differs");

  std::vector<double> ours, floor, floorKeep;
  double floorCpu = 0;
  // Alternate the two, so that a disturbance on the shared machine hits both alike; the first
  // round of each warms caches and is not counted.
  for (long i = 0; i <= args.lsRepeats; ++i) {
    auto t0 = Clock::now();
    writeAll(fd, "ls\r\n");
    if (!readExpected(fd, ref.replies[kLsIndex])) fail("ls reply differs");
    auto t1 = Clock::now();
    const double cpu0 = processCpuSeconds();
    replayAll(args.simPort, replay, false);
    const double cpu1 = processCpuSeconds();
    auto t2 = Clock::now();
    replayAll(args.simPort, replay, true);
    auto t3 = Clock::now();
    if (i == 0) continue;
    ours.push_back(seconds(t1 - t0));
    floor.push_back(seconds(t2 - t1));
    floorKeep.push_back(seconds(t3 - t2));
    floorCpu += cpu1 - cpu0;
  }
  close(fd);
  const double oursMs = percentile(ours, 0.5) * 1000;
  const double floorMs = percentile(floor, 0.5) * 1000;
  const double floorKeepMs = percentile(floorKeep, 0.5) * 1000;
  const double requests = static_cast<double>(replay.size());
  std::printf("\n`ls` of %s (%zu HTTP requests, a new connection each), median of %ld:\n",
              kCategoryName.c_str(), replay.size(), args.lsRepeats);
  std::printf("| client | ms per ls | us per request | ratio to floor |\n|---|---:|---:|---:|\n");
  std::printf(
      "| floor: minimal client, each connection closed after its reply | %.2f | %.1f | 1.000 "
      "|\n",
      floorMs, floorMs * 1000 / requests);
  std::printf(
      "| floor, each connection closed after the next reply (as velmar's client) | %.2f | "
      "%.1f | %.3f |\n",
      floorKeepMs, floorKeepMs * 1000 / requests, floorKeepMs / floorMs);
  std::printf(
      "| **velmar** (Telnet `ls` until its answer is complete) | **%.2f** | %.1f | "
      "**%.3f** |\n",
      oursMs, oursMs * 1000 / requests, oursMs / floorMs);
  std::printf("\nfloor client CPU per request: %.1f us\n",
              floorCpu * 1e6 / (requests * static_cast<double>(args.lsRepeats)));
}

int bench(const Args& args, const Reference& ref) {
  const long baseThreads = settled(args.velmarPid).threads;
  std::printf(
      "| sessions | commands | wrong/failed | commands/s | p50 ms | p99 ms | ls p50 ms | velmar "
      "CPU ms/cmd | sim CPU ms/cmd | velmar RSS idle KiB | RSS per idle conn KiB | RSS per "
      "conn after the mix KiB |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  bool allGood = true;
  for (std::size_t i = 0; i < args.sessions.size(); ++i) {
    const auto n = static_cast<std::size_t>(args.sessions[i]);
    if (!waitForThreads(args.velmarPid, baseThreads, std::chrono::seconds(30))) {
      fail("velmar's connection threads did not end");
    }
    const ProcFigures idle = settled(args.velmarPid);
    Driver driver(args.telnetPort, ref);
    if (!driver.open(n, std::chrono::seconds(120))) {
      std::printf("| %zu | could not open all sessions |\n", n);
      allGood = false;
      continue;
    }
    // Every greeting is complete: every connection thread waits for its first line.
    const ProcFigures held = readProc(args.velmarPid);
    const ProcFigures simBefore = readProc(args.simPid);
    const PhaseResult r = driver.run(args.rounds[i], Clock::now() + std::chrono::seconds(120));
    const ProcFigures after = readProc(args.velmarPid);
    const ProcFigures simAfter = readProc(args.simPid);
    driver.closeAll();
    const double perConn = static_cast<double>(held.rssKiB - idle.rssKiB) / static_cast<double>(n);
    const double cmds = static_cast<double>(std::max(r.commands, 1L));
    std::printf(
        "| %zu | %ld | %ld/%ld | %.0f | %.2f | %.2f | %.2f | %.3f | %.3f | %ld | %.1f | %.1f |\n",
        n, r.commands, r.wrong, r.failed, static_cast<double>(r.commands) / r.wallSeconds,
        percentile(r.latencies, 0.5) * 1000, percentile(r.latencies, 0.99) * 1000,
        percentile(r.lsLatencies, 0.5) * 1000, (after.cpuSeconds - held.cpuSeconds) * 1000 / cmds,
        (simAfter.cpuSeconds - simBefore.cpuSeconds) * 1000 / cmds, idle.rssKiB, perConn,
        static_cast<double>(after.rssKiB - idle.rssKiB) / static_cast<double>(n));
    std::fflush(stdout);
    const long expected = static_cast<long>(n) * args.rounds[i] * static_cast<long>(kMix.size());
    if (r.wrong != 0 || r.failed != 0 || r.commands != expected) allGood = false;
  }
  waitForThreads(args.velmarPid, baseThreads, std::chrono::seconds(30));
  if (!args.velmarPath.empty() && args.simPort != 0) {
    lsAgainstFloor(args, ref);
    if (!args.roundTrips.empty()) latencyRows(args, ref);
    if (!args.watchRoundTrips.empty() || args.watchSessions > 0) watchRows(args);
  }
  if (!args.usersFile.empty() && !sshRows(args)) allGood = false;
  if (!args.usersFile.empty() && args.crowd > 0 && !loginCrowdRow(args)) allGood = false;
  return allGood ? 0 : 2;
}

int soak(const Args& args, const Reference& ref) {
  const auto n = static_cast<std::size_t>(args.sessions.front());
  const ProcFigures before = settled(args.velmarPid);
  Driver driver(args.telnetPort, ref);
  if (!driver.open(n, std::chrono::seconds(60))) fail("could not open all sessions");
  // One round warms every connection (thread-local HTTP clients, allocator arenas).
  PhaseResult warm = driver.run(1, Clock::now() + std::chrono::seconds(60));
  const ProcFigures start = readProc(args.velmarPid);
  std::printf("| minute | commands | wrong/failed | velmar RSS KiB | velmar fds | threads |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|\n");
  std::printf("| start (no sessions) | | | %ld | %ld | %ld |\n", before.rssKiB, before.fds,
              before.threads);
  std::printf("| 0 (%zu sessions, warm) | %ld | %ld/%ld | %ld | %ld | %ld |\n", n, warm.commands,
              warm.wrong, warm.failed, start.rssKiB, start.fds, start.threads);
  std::fflush(stdout);
  long total = warm.commands, wrong = warm.wrong, failed = warm.failed;
  const long minutes = std::max(1L, args.soakSeconds / 60);
  ProcFigures last = start;
  for (long m = 1; m <= minutes; ++m) {
    const long slice = args.soakSeconds / minutes;
    PhaseResult r = driver.run(1L << 40, Clock::now() + std::chrono::seconds(slice));
    total += r.commands;
    wrong += r.wrong;
    failed += r.failed;
    last = readProc(args.velmarPid);
    std::printf("| %ld | %ld | %ld/%ld | %ld | %ld | %ld |\n", m, r.commands, r.wrong, r.failed,
                last.rssKiB, last.fds, last.threads);
    std::fflush(stdout);
    if (r.failed != 0) break;
  }
  driver.closeAll();
  waitForThreads(args.velmarPid, before.threads, std::chrono::seconds(30));
  const ProcFigures end = settled(args.velmarPid);
  std::printf("| end (sessions closed) | %ld | %ld/%ld | %ld | %ld | %ld |\n", total, wrong, failed,
              end.rssKiB, end.fds, end.threads);
  std::printf(
      "\nwarm -> last minute: RSS %+ld KiB, fds %+ld; idle before -> after: RSS %+ld KiB, "
      "fds %+ld\n",
      last.rssKiB - start.rssKiB, last.fds - start.fds, end.rssKiB - before.rssKiB,
      end.fds - before.fds);
  return (wrong == 0 && failed == 0) ? 0 : 2;
}

}  // namespace
}  // namespace velmar::load

int main(int argc, char** argv) {
  using namespace velmar::load;
  signal(SIGPIPE, SIG_IGN);
  const Args args = parseArgs(argc, argv);
  if (args.mode == "ssh" || args.mode == "crowd") {
    if (args.usersFile.empty()) fail("--mode " + args.mode + " needs --users");
    return (args.mode == "ssh" ? sshRows(args) : loginCrowdRow(args)) ? 0 : 2;
  }
  if (args.mode == "watch") {
    if (args.velmarPath.empty() || args.simPort == 0)
      fail("--mode watch needs --velmar and --sim-port");
    watchRows(args);
    return 0;
  }
  const Reference ref = captureReference(args.telnetPort);
  if (args.mode == "soak") return soak(args, ref);
  return bench(args, ref);
}
