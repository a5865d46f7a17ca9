#include "watch_rows.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "latency_proxy.h"
#include "load_common.h"
#include "ls_floor.h"
#include "proc_figures.h"
#include "sim/simulator.h"
#include "telnet_io.h"

namespace velmar::load {

namespace {

// velmar's default: requests of one round in flight at once, each on a kept connection.
constexpr int kLanes = 4;
constexpr long kWarmRounds = 3;
const std::string kStatusEnd = "Ctrl+C ends.";
const std::string kInterrupt = "\xff\xf4";  // IAC IP

std::string watchCommand(double seconds) {
  char interval[32];
  std::snprintf(interval, sizeof interval, "%g", seconds);
  return "watch \"" + kCategoryName + "\" -i " + interval + "\r\n";
}

// The requests of one round, as a velmar against a simulator of its own sends them.
std::vector<velmar::sim::RecordedRequest> recordRound(const std::string& velmarPath) {
  velmar::sim::Simulator sim(velmar::sim::SimulatorOptions{});
  sim.start();
  SpawnedVelmar velmar = spawnVelmar(velmarPath, sim.port(), {});
  const int fd = connectLoopback(velmar.telnetPort, true);
  readUntilPrompt(fd);
  writeAll(fd, watchCommand(0.2));
  readUntilSuffix(fd, "\r\n");  // the first round is done once its lines come
  sim.clearRequests();
  std::vector<velmar::sim::RecordedRequest> round;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (round.size() < 120 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    round.clear();
    for (const auto& request : sim.requests()) {
      if (request.body.find("\"IPS_GetVariable\"") != std::string::npos) round.push_back(request);
    }
  }
  if (round.size() < 120) fail("no watch round of 120 requests recorded");
  round.resize(120);
  close(fd);
  stopVelmar(velmar);
  return round;
}

// The minimal client: the round's requests with kLanes in flight, each lane on a connection
// kept from round to round.
class ParallelFloor {
 public:
  explicit ParallelFloor(int port) {
    for (int i = 0; i < kLanes; ++i) fds_.push_back(connectLoopback(port, true));
  }
  ~ParallelFloor() {
    for (int fd : fds_) close(fd);
  }

  void run(const std::vector<HttpRequest>& round) {
    std::atomic<std::size_t> next{0};
    auto lane = [&](int fd) {
      std::string buffer;
      for (std::size_t i = next++; i < round.size(); i = next++) exchangeOn(fd, round[i], buffer);
    };
    std::vector<std::thread> helpers;
    for (std::size_t k = 1; k < fds_.size(); ++k) helpers.emplace_back(lane, fds_[k]);
    lane(fds_[0]);
    for (auto& helper : helpers) helper.join();
  }

 private:
  std::vector<int> fds_;
};

// What `fd` sends up to and including `marker` (taken out of `pending`, where what came
// after it stays for the next read).
std::string readPast(int fd, std::string& pending, const std::string& marker) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::size_t at;
  char chunk[65536];
  while ((at = pending.find(marker)) == std::string::npos) {
    if (Clock::now() > deadline) fail("no \"" + marker + "\" within 30 s");
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) fail("the watching session closed");
    pending.append(chunk, static_cast<std::size_t>(n));
  }
  std::string text = pending.substr(0, at + marker.size());
  pending.erase(0, at + marker.size());
  return text;
}

// A Telnet session that reports a window large enough for the whole table, so that watch
// draws it and reports each round's time on its status line. The server's answers to the
// negotiation may follow the first prompt; they are read with it.
int terminalSession(int port, std::string& pending) {
  const int fd = connectLoopback(port, true);
  // IAC WILL NAWS, IAC SB NAWS 200 x 250 IAC SE.
  writeAll(fd, std::string("\xff\xfb\x1f\xff\xfa\x1f\x00\xc8\x00\xfa\xff\xf0", 12));
  readPast(fd, pending, kPromptEnd);
  return fd;
}

// Reads until the next status line is complete; its round time in ms (-1 when it has none).
double nextStatus(int fd, std::string& pending) {
  static const std::regex roundTime("last round ([0-9]+)[.,]([0-9]) ms");
  const std::string text = readPast(fd, pending, kStatusEnd);
  const std::size_t lineStart = text.rfind("\x1b[2K");
  const std::string status = text.substr(lineStart == std::string::npos ? 0 : lineStart);
  std::smatch m;
  if (!std::regex_search(status, m, roundTime)) return -1;
  return std::atof((m[1].str() + "." + m[2].str()).c_str());
}

void endWatch(int fd, std::string& pending) {
  writeAll(fd, kInterrupt);
  readPast(fd, pending, kPromptEnd);
  close(fd);
}

void roundRow(const Args& args, const std::vector<velmar::sim::RecordedRequest>& recorded,
              long rtt) {
  std::unique_ptr<velmar::bench::LatencyProxy> proxy;
  int serverPort = args.simPort;
  if (rtt > 0) {
    proxy =
        std::make_unique<velmar::bench::LatencyProxy>(args.simPort, std::chrono::milliseconds(rtt));
    serverPort = proxy->port();
  }
  const auto round = buildReplay(recorded, serverPort);
  SpawnedVelmar velmar = spawnVelmar(args.velmarPath, serverPort, {});
  std::string pending;
  const int fd = terminalSession(velmar.telnetPort, pending);
  writeAll(fd, watchCommand(rtt > 0 ? 0.5 : 0.2));
  for (long i = 0; i < kWarmRounds; ++i) nextStatus(fd, pending);
  std::vector<double> ours;
  const double cpu0 = processCpuSeconds(velmar.pid);
  while (static_cast<long>(ours.size()) < args.watchRounds) {
    const double ms = nextStatus(fd, pending);
    if (ms >= 0) ours.push_back(ms);
  }
  const double cpu = processCpuSeconds(velmar.pid) - cpu0;
  endWatch(fd, pending);
  stopVelmar(velmar);

  ParallelFloor floorClient(serverPort);
  std::vector<double> floor;
  for (long i = 0; i < kWarmRounds + args.watchRounds; ++i) {
    const auto t0 = Clock::now();
    floorClient.run(round);
    if (i >= kWarmRounds) floor.push_back(seconds(Clock::now() - t0) * 1000);
  }
  const double floorMs = percentile(floor, 0.5);
  const double oursMs = percentile(ours, 0.5);
  std::printf("| %ld | %zu | %.1f | %.1f | **%.2f** | %.2f |\n", rtt, round.size(), floorMs, oursMs,
              oursMs / floorMs, cpu * 1000 / static_cast<double>(ours.size()));
  std::fflush(stdout);
}

// `args.watchSessions` sessions watching the category every second at once: the time between
// the ends of their redraws as the clients see them.
void sessionsRow(const Args& args) {
  SpawnedVelmar velmar = spawnVelmar(args.velmarPath, args.simPort, {});
  std::vector<std::string> pending(static_cast<std::size_t>(args.watchSessions));
  std::vector<int> fds;
  for (auto& text : pending) fds.push_back(terminalSession(velmar.telnetPort, text));
  for (int fd : fds) writeAll(fd, watchCommand(1));
  std::vector<Clock::time_point> last(fds.size());
  std::vector<double> intervals, rounds;
  for (std::size_t i = 0; i < fds.size(); ++i) nextStatus(fds[i], pending[i]);
  for (std::size_t i = 0; i < fds.size(); ++i) last[i] = Clock::now();
  const double cpu0 = processCpuSeconds(velmar.pid);
  const auto until = Clock::now() + std::chrono::seconds(args.watchSeconds);
  long redraws = 0;
  while (Clock::now() < until) {
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    if (poll(polls.data(), polls.size(), 200) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(polls[i].revents & POLLIN)) continue;
      const double ms = nextStatus(fds[i], pending[i]);
      const auto now = Clock::now();
      intervals.push_back(seconds(now - last[i]) * 1000);
      last[i] = now;
      if (ms >= 0) rounds.push_back(ms);
      ++redraws;
    }
  }
  const double cpu = processCpuSeconds(velmar.pid) - cpu0;
  for (std::size_t i = 0; i < fds.size(); ++i) endWatch(fds[i], pending[i]);
  stopVelmar(velmar);
  std::printf(
      "\n%ld sessions watching \"%s\" every 1 s at once, for %ld s (loopback), "
      "as the clients see each redraw:\n",
      args.watchSessions, kCategoryName.c_str(), args.watchSeconds);
  std::printf(
      "| rounds | interval p50 ms | interval p99 ms | interval max ms | round p50 ms | round p99 "
      "ms "
      "| velmar CPU ms per round |\n|---:|---:|---:|---:|---:|---:|---:|\n");
  std::printf("| %ld | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f |\n", redraws,
              percentile(intervals, 0.5), percentile(intervals, 0.99), percentile(intervals, 1.0),
              percentile(rounds, 0.5), percentile(rounds, 0.99),
              cpu * 1000 / static_cast<double>(std::max(redraws, 1L)));
  std::fflush(stdout);
}

}  // namespace

void watchRows(const Args& args) {
  const auto recorded = recordRound(args.velmarPath);
  std::printf(
      "\nOne `watch` round over the %zu variables of \"%s\" (IPS_GetVariable each, %d in "
      "flight), median of %ld; floor: the same requests from a minimal client, %d in flight on "
      "kept connections:\n",
      recorded.size(), kCategoryName.c_str(), kLanes, args.watchRounds, kLanes);
  std::printf(
      "| round trip ms | requests | floor ms | velmar ms | velmar / floor | velmar CPU ms per "
      "round |\n|---:|---:|---:|---:|---:|---:|\n");
  for (long rtt : args.watchRoundTrips) roundRow(args, recorded, rtt);
  if (args.watchSessions > 0) sessionsRow(args);
}

}  // namespace velmar::load
