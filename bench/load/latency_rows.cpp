#include "latency_rows.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "latency_proxy.h"
#include "load_common.h"
#include "ls_floor.h"

namespace velmar::load {

namespace {

// One velmar set-up measured over the latency proxy.
struct VelmarSetup {
  std::string label;
  std::vector<std::string> args;
};

const std::vector<VelmarSetup> kSetups = {
    {"velmar", {}},
    {"velmar --http-reuse off", {"--http-reuse", "off"}},
};

}  // namespace

void latencyRows(const Args& args, const Reference& ref) {
  std::vector<std::string> recordedReplies;
  const auto recorded = recordMix(args.velmarPath, recordedReplies);
  // The recording runs against a simulator of its own (whose times differ); `ls` must match.
  if (recordedReplies[kLsIndex] != ref.replies[kLsIndex])
    fail("the recording velmar listed differently from the measured one");

  // Commands measured: cd into the category, ls, show (cd .. only takes the session back).
  const std::vector<std::size_t> measured = {0, kLsIndex, 2};
  std::printf(
      "\nThe mix over a network (latency proxy: half a round trip each way, one more before "
      "the first bytes of a connection), median of %ld:\n",
      args.latencyRepeats);
  std::printf("| round trip ms | command | requests | floor ms |");
  for (const auto& setup : kSetups)
    std::printf(" %s ms | floor / %s |", setup.label.c_str(), setup.label.c_str());
  std::printf("\n|---:|---|---:|---:|");
  for (std::size_t i = 0; i < kSetups.size(); ++i) std::printf("---:|---:|");
  std::printf("\n");
  for (long rtt : args.roundTrips) {
    std::unique_ptr<velmar::bench::LatencyProxy> proxy;
    int serverPort = args.simPort;
    if (rtt > 0) {
      proxy = std::make_unique<velmar::bench::LatencyProxy>(args.simPort,
                                                            std::chrono::milliseconds(rtt));
      serverPort = proxy->port();
    }
    std::vector<std::vector<HttpRequest>> replays;
    for (const auto& requests : recorded) replays.push_back(buildReplay(requests, serverPort));
    std::vector<SpawnedVelmar> velmars;
    std::vector<int> sessions;
    for (const auto& setup : kSetups) {
      velmars.push_back(spawnVelmar(args.velmarPath, serverPort, setup.args));
      sessions.push_back(connectLoopback(velmars.back().telnetPort, true));
      if (!readExpected(sessions.back(), ref.greeting)) fail("greeting differs");
    }
    // [0][command]: the floor; [setup + 1][command]: velmar; times in seconds.
    std::vector<std::vector<std::vector<double>>> times(
        kSetups.size() + 1, std::vector<std::vector<double>>(kMix.size()));
    // Floor and set-ups take turns, so that a disturbance on the shared machine hits all alike;
    // the first round warms caches and connections and is not counted.
    for (long round = 0; round <= args.latencyRepeats; ++round) {
      for (std::size_t c : measured) {
        auto t0 = Clock::now();
        replayAll(serverPort, replays[c], false);
        if (round > 0) times[0][c].push_back(seconds(Clock::now() - t0));
      }
      for (std::size_t v = 0; v < kSetups.size(); ++v) {
        for (std::size_t c = 0; c < kMix.size(); ++c) {
          auto t0 = Clock::now();
          writeAll(sessions[v], kMix[c] + "\r\n");
          if (!readExpected(sessions[v], ref.replies[c]))
            fail(kSetups[v].label + ": reply to " + kMix[c] + " differs at " + std::to_string(rtt) +
                 " ms");
          if (round > 0) times[v + 1][c].push_back(seconds(Clock::now() - t0));
        }
      }
    }
    for (std::size_t c : measured) {
      const double floorMs = percentile(times[0][c], 0.5) * 1000;
      std::printf("| %ld | `%s` | %zu | %.1f |", rtt, kMix[c].c_str(), replays[c].size(), floorMs);
      for (std::size_t v = 0; v < kSetups.size(); ++v) {
        const double ms = percentile(times[v + 1][c], 0.5) * 1000;
        std::printf(" %.1f | **%.2f** |", ms, floorMs / ms);
      }
      std::printf("\n");
      std::fflush(stdout);
    }
    for (int fd : sessions) close(fd);
    for (auto& velmar : velmars) stopVelmar(velmar);
  }
}

}  // namespace velmar::load
