#include "login_crowd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "load_common.h"
#include "login_velmar.h"
#include "proc_figures.h"
#include "telnet_io.h"

namespace velmar::load {

namespace {

// Connections of one client that may wait at their login at once (velmar's bound): the crowd
// comes from as many loopback addresses as it takes.
constexpr long kPerSource = 10;
constexpr long kArgon2KiB = 64 * 1024;

std::string sourceAddress(long connection) {
  const long source = connection / kPerSource;
  return "127.0." + std::to_string(1 + source / 250) + "." + std::to_string(1 + source % 250);
}

int connectFrom(const std::string& source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail(std::string("socket: ") + std::strerror(errno));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    fail("bind to " + source + ": " + std::strerror(errno));
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    fail("connect from " + source + ": " + std::strerror(errno));
  }
  return fd;
}

// What the server sends until `end`, its end of the connection or `deadline`.
std::string readAnswer(int fd, Clock::time_point deadline, const std::string& end) {
  std::string text;
  char chunk[4096];
  while (Clock::now() < deadline) {
    if (text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0) {
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

long peakKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

struct Tally {
  long checked = 0, turnedAway = 0, closed = 0;
  double lastSeconds = 0;
};

}  // namespace

bool loginCrowdRow(const Args& args) {
  const long n = args.crowd;
  LoginVelmar velmar(args, "velmar-login-crowd");
  const int pid = velmar.pid();
  const ProcFigures idle = settled(pid);
  std::vector<int> fds;
  for (long i = 0; i < n; ++i) {
    const int fd = connectFrom(sourceAddress(i), velmar.telnetPort());
    readUntilSuffix(fd, "Login: ");
    writeAll(fd, args.loginUser + "\r\n");
    readUntilSuffix(fd, "Password: ");
    fds.push_back(fd);
  }
  const ProcFigures waiting = settled(pid);
  const long peakBefore = peakKiB(pid);

  // Guesses, as an attacker would send them: no shell is started, so what lies above the
  // prompts is the checks' alone.
  const auto start = Clock::now();
  for (const int fd : fds) writeAll(fd, args.loginPassword + "-guess\r\n");
  Tally tally;
  const auto deadline = start + std::chrono::seconds(120);
  for (const int fd : fds) {
    const std::string answer = readAnswer(fd, deadline, "Login: ");
    // The failure that shuts an address out is answered with the lockout.
    if (answer.find("Login incorrect") != std::string::npos ||
        answer.find("Too many failed logins") != std::string::npos) {
      ++tally.checked;
    } else if (answer.find("Too many logins at once") != std::string::npos) {
      ++tally.turnedAway;
    } else {
      ++tally.closed;  // the login time limit, or no answer
    }
    tally.lastSeconds = seconds(Clock::now() - start);
  }
  const long peak = peakKiB(pid);
  for (const int fd : fds) close(fd);

  const long cores = std::max(1u, std::thread::hardware_concurrency());
  const long sources = (n + kPerSource - 1) / kPerSource;
  std::printf(
      "\n%ld Telnet connections from %ld loopback addresses send a wrong password at once "
      "(Argon2id checks of 64 MiB each), velmar on %ld cores:\n",
      n, sources, cores);
  std::printf(
      "| checked | turned away | closed by the time limit | last answer s "
      "| RSS idle MiB | RSS at the password prompts MiB | peak RSS MiB | peak above the "
      "prompts MiB | cores x 64 MiB |\n"
      "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  const auto mib = [](long kib) { return static_cast<double>(kib) / 1024; };
  std::printf("| %ld | %ld | %ld | %.1f | %.1f | %.1f | %.1f | %.1f | %ld |\n", tally.checked,
              tally.turnedAway, tally.closed, tally.lastSeconds, mib(idle.rssKiB),
              mib(waiting.rssKiB), mib(peak), mib(peak - waiting.rssKiB), cores * 64);
  if (peakBefore > waiting.rssKiB + kArgon2KiB) {
    std::printf("(the peak before the passwords was already %.1f MiB)\n", mib(peakBefore));
  }
  std::fflush(stdout);
  return tally.checked + tally.turnedAway + tally.closed == n;
}

}  // namespace velmar::load
