#include "ls_floor.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "load_common.h"
#include "telnet_io.h"

extern char** environ;

namespace velmar::load {

SpawnedVelmar spawnVelmar(const std::string& velmarPath, int serverPort,
                          const std::vector<std::string>& extraArgs) {
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string port = std::to_string(serverPort);
  std::vector<std::string> args = {
      velmarPath, "--host",    "127.0.0.1",          "--port", port, "--telnet-port", "0",
      "--listen", "127.0.0.1", "--shutdown-minutes", "0"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  SpawnedVelmar velmar;
  if (posix_spawn(&velmar.pid, velmarPath.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    fail("cannot start " + velmarPath);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(errPipe[1]);
  velmar.errFd = errPipe[0];

  // "velmar: Telnet listening on 127.0.0.1:PORT"
  std::string err;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (velmar.telnetPort == 0) {
    if (Clock::now() > deadline) fail("the started velmar did not start: " + err);
    pollfd p{velmar.errFd, POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    char chunk[512];
    const ssize_t n = read(velmar.errFd, chunk, sizeof chunk);
    if (n <= 0) fail("the started velmar ended: " + err);
    err.append(chunk, static_cast<std::size_t>(n));
    const std::string marker = "Telnet listening on 127.0.0.1:";
    const auto at = err.find(marker);
    if (at != std::string::npos && err.find('\n', at) != std::string::npos) {
      velmar.telnetPort = std::atoi(err.c_str() + at + marker.size());
    }
  }
  return velmar;
}

void stopVelmar(SpawnedVelmar& velmar) {
  kill(velmar.pid, SIGTERM);
  int status = 0;
  waitpid(velmar.pid, &status, 0);
  close(velmar.errFd);
  velmar = SpawnedVelmar{};
}

std::vector<std::vector<velmar::sim::RecordedRequest>> recordMix(
    const std::string& velmarPath, std::vector<std::string>& replies) {
  velmar::sim::SimulatorOptions options;
  options.port = 0;
  velmar::sim::Simulator sim(options);
  sim.start();
  SpawnedVelmar velmar = spawnVelmar(velmarPath, sim.port(), {});

  const int fd = connectLoopback(velmar.telnetPort, true);
  readUntilPrompt(fd);
  std::vector<std::vector<velmar::sim::RecordedRequest>> requests;
  replies.clear();
  for (const auto& command : kMix) {
    sim.clearRequests();
    writeAll(fd, command + "\r\n");
    replies.push_back(readUntilPrompt(fd));
    requests.push_back(sim.requests());
  }
  close(fd);
  stopVelmar(velmar);
  sim.stop();
  return requests;
}

std::vector<velmar::sim::RecordedRequest> recordLs(const std::string& velmarPath,
                                                   std::string& lsReply) {
  std::vector<std::string> replies;
  auto requests = recordMix(velmarPath, replies);
  lsReply = replies[kLsIndex];
  return requests[kLsIndex];
}

std::vector<HttpRequest> buildReplay(const std::vector<velmar::sim::RecordedRequest>& recorded,
                                     int simPort) {
  std::vector<HttpRequest> out;
  for (const auto& r : recorded) {
    HttpRequest req;
    req.head = r.method + " " + r.path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(simPort) +
               "\r\n";
    for (const auto& [name, value] : r.headers) {
      std::string lower = name;
      for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      // The HTTP parser adds the socket addresses as headers; the length is set below.
      if (lower == "host" || lower == "content-length" || lower.rfind("remote_", 0) == 0 ||
          lower.rfind("local_", 0) == 0) {
        continue;
      }
      req.tail += name + ": " + value + "\r\n";
    }
    req.tail += "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
    out.push_back(std::move(req));
  }
  return out;
}

namespace {

// One request on a fresh connection: send, read the reply up to its Content-Length. Returns
// the connection, still open.
int exchange(int port, const HttpRequest& req, std::string& buffer) {
  const int fd = connectLoopback(port, true);
  exchangeOn(fd, req, buffer);
  return fd;
}

}  // namespace

void exchangeOn(int fd, const HttpRequest& req, std::string& buffer) {
  writeAll(fd, req.head + req.tail);
  buffer.clear();
  std::size_t headerEnd = std::string::npos;
  std::size_t total = std::string::npos;
  char chunk[65536];
  while (total == std::string::npos || buffer.size() < total) {
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      if (total == std::string::npos && headerEnd != std::string::npos) break;  // until close
      fail("the simulator closed the connection early");
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    if (headerEnd == std::string::npos) {
      headerEnd = buffer.find("\r\n\r\n");
      if (headerEnd == std::string::npos) continue;
      std::string head = buffer.substr(0, headerEnd);
      for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const auto at = head.find("\r\ncontent-length:");
      if (at != std::string::npos) {
        total = headerEnd + 4 + std::strtoul(head.c_str() + at + 17, nullptr, 10);
      }
    }
  }
  if (buffer.compare(0, 12, "HTTP/1.1 200") != 0) fail("the simulator answered: " + buffer);
}

void replayAll(int port, const std::vector<HttpRequest>& replay, bool keepPrevious) {
  std::string buffer;
  int previous = -1;
  for (const auto& req : replay) {
    const int fd = exchange(port, req, buffer);
    if (previous >= 0) close(previous);
    previous = fd;
    if (!keepPrevious) {
      close(fd);
      previous = -1;
    }
  }
  if (previous >= 0) close(previous);
}

}  // namespace velmar::load
