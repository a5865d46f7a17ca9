// velmar-load: drives a running velmar (and the velmar-sim behind it) with many concurrent Telnet
// sessions over loopback and measures what a user and an operator care about: commands per
// second, latency per command, velmar's CPU time per command and its resident memory per open
// connection. Every reply is compared byte for byte with the reply that a single session got
// for the same command.
//
// Modes:
//   bench  the table for N = 1, 50, 200, 1000 sessions, and the `ls` time against the floor of
//          the protocol: the same HTTP requests sent one after the other by a minimal client,
//          a new TCP connection each.
//   soak   N sessions cycling the mix for a fixed time; memory and descriptors over time.
//
// Every loop is bounded by a count and by a deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/simulator.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The category of the demo home with more than a hundred children, and one of its variables.
const std::string kCategoryName = "Energie Tageswerte";
const std::vector<std::string> kMix = {"cd \"" + kCategoryName + "\"", "ls", "show 37881", "cd .."};
constexpr std::size_t kLsIndex = 1;
// Every prompt ends with '>' and the colour reset.
const std::string kPromptEnd = ">\x1b[0m";

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "velmar-load: %s\n", message.c_str());
  std::exit(1);
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// ---------------------------------------------------------------------------------------------
// /proc figures of a process.

struct ProcFigures {
  long rssKiB = 0;
  long threads = 0;
  double cpuSeconds = 0;  // utime + stime
  long fds = 0;
};

ProcFigures readProc(int pid) {
  ProcFigures f;
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream status(base + "/status");
  if (!status) fail("process " + std::to_string(pid) + " is gone");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) f.rssKiB = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) f.threads = std::atol(line.c_str() + 8);
  }
  std::ifstream statFile(base + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold blanks; the fields count from the last ')'.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> fields;
  std::string field;
  while (rest >> field) fields.push_back(field);
  // Field 14 (utime) and 15 (stime) of stat are 12 and 13 here (state is field 3 = index 0).
  if (fields.size() > 12) {
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    f.cpuSeconds = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / tick;
  }
  if (DIR* dir = opendir((base + "/fd").c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++f.fds;
    }
    closedir(dir);
  }
  return f;
}

// Waits until the process runs at most `threads` threads (its connection threads have ended).
bool waitForThreads(int pid, long threads, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (readProc(pid).threads <= threads) return true;
    poll(nullptr, 0, 20);
  }
  return false;
}

// Figures once the process has settled: closing connections end their threads and then
// their sockets a moment later, and velmar hands cached memory back a second after its last
// connection; so wait until threads, descriptors and resident memory hold still for 1.5 s (at
// most ten seconds).
ProcFigures settled(int pid) {
  ProcFigures last = readProc(pid);
  int still = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (still < 5 && Clock::now() < deadline) {
    poll(nullptr, 0, 300);
    const ProcFigures now = readProc(pid);
    still = (now.threads == last.threads && now.fds == last.fds && now.rssKiB == last.rssKiB)
                ? still + 1
                : 0;
    last = now;
  }
  return last;
}

// ---------------------------------------------------------------------------------------------
// Sockets.

int connectLoopback(int port, bool blocking) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (fd < 0) fail(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    fail("connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  }
  return fd;
}

void writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 1000);
        continue;
      }
      fail(std::string("send: ") + std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

// Reads from a blocking socket until the text ends with a prompt and nothing more follows for
// a moment. Used only to capture the reference replies of a single session.
std::string readUntilPrompt(int fd) {
  std::string buffer;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  char chunk[65536];
  for (;;) {
    const bool atPrompt =
        buffer.size() >= kPromptEnd.size() &&
        buffer.compare(buffer.size() - kPromptEnd.size(), kPromptEnd.size(), kPromptEnd) == 0;
    if (Clock::now() > deadline) fail("no prompt within 30 s; got: " + buffer);
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, atPrompt ? 300 : 1000);
    if (ready == 0) {
      if (atPrompt) return buffer;
      continue;
    }
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) fail("the Telnet connection closed; got: " + buffer);
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

// Reads exactly `expected` from a blocking socket; false when the bytes differ.
bool readExpected(int fd, const std::string& expected) {
  std::string buffer;
  char chunk[65536];
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (buffer.size() < expected.size()) {
    if (Clock::now() > deadline) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, expected.size() - buffer.size()), 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    if (expected.compare(0, buffer.size(), buffer) != 0) return false;
  }
  return true;
}

struct Reference {
  std::string greeting;
  std::vector<std::string> replies;  // one per command of the mix
};

Reference captureReference(int telnetPort) {
  Reference ref;
  const int fd = connectLoopback(telnetPort, true);
  ref.greeting = readUntilPrompt(fd);
  for (const auto& command : kMix) {
    writeAll(fd, command + "\r\n");
    ref.replies.push_back(readUntilPrompt(fd));
  }
  // The mix must end where it began, so that it can cycle.
  writeAll(fd, kMix[0] + "\r\n");
  if (readUntilPrompt(fd) != ref.replies[0]) fail("the mix does not return to its start");
  close(fd);
  if (ref.replies[kLsIndex].find("Verbrauch") == std::string::npos) {
    fail("the ls reply does not list the category: " + ref.replies[kLsIndex]);
  }
  return ref;
}

// ---------------------------------------------------------------------------------------------
// Many sessions on one epoll.

struct Session {
  int fd = -1;
  enum State { Connecting, Greeting, Idle, Running, Done, Failed } state = Connecting;
  std::size_t received = 0;  // bytes of the current expected reply matched so far
  const std::string* expected = nullptr;
  std::size_t command = 0;  // index into the mix
  long roundsLeft = 0;
  Clock::time_point sent;
};

struct PhaseResult {
  long commands = 0;
  long wrong = 0;   // a reply that differs from the reference
  long failed = 0;  // connection lost or no reply in time
  double wallSeconds = 0;
  std::vector<double> latencies;    // seconds per command
  std::vector<double> lsLatencies;  // the same for `ls` alone
};

class Driver {
 public:
  Driver(int port, const Reference& ref) : port_(port), ref_(ref) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) fail("epoll_create1");
  }
  ~Driver() {
    closeAll();
    close(epoll_);
  }

  // Opens n sessions and waits for every greeting; false when some failed.
  bool open(std::size_t n, std::chrono::seconds limit) {
    sessions_.assign(n, Session{});
    std::size_t next = 0;
    std::size_t pending = 0;  // connecting or greeting
    const auto deadline = Clock::now() + limit;
    for (;;) {
      // Keep the listen queue short: a few dozen handshakes at a time.
      while (next < n && pending < 32) {
        Session& s = sessions_[next];
        s.fd = connectLoopback(port_, false);
        s.state = Session::Connecting;
        s.expected = &ref_.greeting;
        s.received = 0;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = next;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev);
        ++next;
        ++pending;
      }
      if (pending == 0) break;
      if (Clock::now() > deadline) return false;
      pump(100, [&](Session& s, bool complete) {
        if (s.state == Session::Failed || complete) {
          if (complete) s.state = Session::Idle;
          --pending;
        }
      });
    }
    for (const auto& s : sessions_) {
      if (s.state != Session::Idle) return false;
    }
    return true;
  }

  // Every open session runs the mix `rounds` times (or until `until`), sending each command
  // as soon as the previous reply is complete.
  PhaseResult run(long rounds, Clock::time_point until) {
    PhaseResult result;
    std::size_t active = 0;
    const long wrongBefore = wrong_;
    const auto start = Clock::now();
    for (auto& s : sessions_) {
      if (s.state != Session::Idle && s.state != Session::Done) continue;
      s.roundsLeft = rounds;
      s.command = 0;
      s.state = Session::Running;
      if (sendCommand(s)) {
        ++active;
      } else {
        ++result.failed;
      }
    }
    const auto hardDeadline = until + std::chrono::seconds(60);
    while (active > 0 && Clock::now() < hardDeadline) {
      pump(100, [&](Session& s, bool complete) {
        if (s.state == Session::Failed) {
          ++result.failed;
          --active;
          return;
        }
        if (!complete) return;
        result.latencies.push_back(seconds(Clock::now() - s.sent));
        if (s.command == kLsIndex) result.lsLatencies.push_back(result.latencies.back());
        ++result.commands;
        if (++s.command == kMix.size()) {
          s.command = 0;
          if (--s.roundsLeft <= 0 || Clock::now() >= until) {
            s.state = Session::Done;
            --active;
            return;
          }
        }
        if (!sendCommand(s)) {
          ++result.failed;
          --active;
        }
      });
    }
    for (auto& s : sessions_) {
      if (s.state == Session::Running) {
        ++result.failed;
        s.state = Session::Failed;
      }
    }
    result.wrong = wrong_ - wrongBefore;
    result.wallSeconds = seconds(Clock::now() - start);
    return result;
  }

  void closeAll() {
    for (auto& s : sessions_) {
      if (s.fd >= 0) close(s.fd);
      s.fd = -1;
    }
    sessions_.clear();
    wrong_ = 0;
  }

 private:
  // False when the connection is broken.
  bool sendCommand(Session& s) {
    s.expected = &ref_.replies[s.command];
    s.received = 0;
    s.sent = Clock::now();
    const std::string line = kMix[s.command] + "\r\n";
    // A command line is far below the socket buffer; a short write means a broken connection.
    if (send(s.fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      s.state = Session::Failed;
      epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
      return false;
    }
    return true;
  }

  template <typename OnEvent>
  void pump(int timeoutMs, OnEvent&& onEvent) {
    epoll_event events[256];
    const int n = epoll_wait(epoll_, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
      Session& s = sessions_[events[i].data.u64];
      if (s.state == Session::Failed || s.fd < 0) continue;
      if (s.state == Session::Connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) {
          endSession(s, onEvent);
          continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = events[i].data.u64;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
        s.state = Session::Greeting;
      }
      if (!(events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
      for (;;) {
        const ssize_t got = recv(s.fd, chunk_, sizeof chunk_, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
        if (got <= 0) {
          endSession(s, onEvent);
          break;
        }
        const std::size_t count = static_cast<std::size_t>(got);
        const std::string& expected = *s.expected;
        if (s.state != Session::Greeting && s.state != Session::Running) {
          ++wrong_;  // text while no command runs
          endSession(s, onEvent);
          break;
        }
        if (s.received + count > expected.size() ||
            expected.compare(s.received, count, chunk_, count) != 0) {
          ++wrong_;
          if (wrongShown_++ < 3) {
            std::fprintf(stderr, "velmar-load: wrong reply after %zu of %zu bytes: %s\n",
                         s.received, expected.size(), std::string(chunk_, count).c_str());
          }
          endSession(s, onEvent);
          break;
        }
        s.received += count;
        if (s.received == expected.size()) onEvent(s, true);
        if (s.state == Session::Failed) break;
      }
    }
  }

  // Ends a session; the caller hears of it only while it waits for this session.
  template <typename OnEvent>
  void endSession(Session& s, OnEvent& onEvent) {
    const bool waiting = s.state == Session::Connecting || s.state == Session::Greeting ||
                         s.state == Session::Running;
    s.state = Session::Failed;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
    if (waiting) onEvent(s, false);
  }

  int port_;
  const Reference& ref_;
  int epoll_ = -1;
  std::vector<Session> sessions_;
  long wrong_ = 0;
  long wrongShown_ = 0;
  char chunk_[65536];
};

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// ---------------------------------------------------------------------------------------------
// The floor of `ls`: its HTTP requests, recorded once, replayed by a minimal client.

struct HttpRequest {
  std::string head;  // request line and headers up to the host
  std::string tail;  // the other headers, the blank line and the body
};

// Starts velmar against an in-process simulator, runs one `ls` in the category and returns the
// requests that `ls` sent, in order.
std::vector<velmar::sim::RecordedRequest> recordLs(const std::string& velmarPath,
                                                   std::string& lsReply) {
  velmar::sim::SimulatorOptions options;
  options.port = 0;
  velmar::sim::Simulator sim(options);
  sim.start();

  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string port = std::to_string(sim.port());
  std::vector<std::string> args = {
      velmarPath, "--host",    "127.0.0.1",          "--port", port, "--telnet-port", "0",
      "--listen", "127.0.0.1", "--shutdown-minutes", "0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, velmarPath.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    fail("cannot start " + velmarPath);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(errPipe[1]);

  // "velmar: Telnet listening on 127.0.0.1:PORT"
  std::string err;
  int telnetPort = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (telnetPort == 0) {
    if (Clock::now() > deadline) fail("the recording velmar did not start: " + err);
    pollfd p{errPipe[0], POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    char chunk[512];
    const ssize_t n = read(errPipe[0], chunk, sizeof chunk);
    if (n <= 0) fail("the recording velmar ended: " + err);
    err.append(chunk, static_cast<std::size_t>(n));
    const std::string marker = "Telnet listening on 127.0.0.1:";
    const auto at = err.find(marker);
    if (at != std::string::npos && err.find('\n', at) != std::string::npos) {
      telnetPort = std::atoi(err.c_str() + at + marker.size());
    }
  }

  const int fd = connectLoopback(telnetPort, true);
  readUntilPrompt(fd);
  writeAll(fd, kMix[0] + "\r\n");
  readUntilPrompt(fd);
  sim.clearRequests();
  writeAll(fd, "ls\r\n");
  lsReply = readUntilPrompt(fd);
  auto requests = sim.requests();
  close(fd);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(errPipe[0]);
  sim.stop();
  return requests;
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

// One request on a fresh connection: send, read the reply up to its Content-Length. Returns
// the connection, still open.
int exchange(int port, const HttpRequest& req, std::string& buffer) {
  const int fd = connectLoopback(port, true);
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
  return fd;
}

// The requests one after the other. With `keepPrevious` each connection stays open until the
// next reply has arrived, as velmar's client leaves it; otherwise it is closed at once.
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

// ---------------------------------------------------------------------------------------------

struct Args {
  std::string mode = "bench";
  int telnetPort = 0;
  int simPort = 0;
  int velmarPid = 0;
  int simPid = 0;
  std::string velmarPath;
  std::vector<long> sessions = {1, 50, 200, 1000};
  std::vector<long> rounds = {20, 4, 2, 1};
  long lsRepeats = 15;
  long soakSeconds = 600;
};

std::vector<long> parseList(const std::string& text) {
  std::vector<long> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atol(item.c_str()));
  return out;
}

Args parseArgs(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (i + 1 >= argc) fail("missing value for " + key);
    const std::string value = argv[++i];
    if (key == "--mode")
      a.mode = value;
    else if (key == "--telnet-port")
      a.telnetPort = std::atoi(value.c_str());
    else if (key == "--sim-port")
      a.simPort = std::atoi(value.c_str());
    else if (key == "--velmar-pid")
      a.velmarPid = std::atoi(value.c_str());
    else if (key == "--sim-pid")
      a.simPid = std::atoi(value.c_str());
    else if (key == "--velmar")
      a.velmarPath = value;
    else if (key == "--sessions")
      a.sessions = parseList(value);
    else if (key == "--rounds")
      a.rounds = parseList(value);
    else if (key == "--ls-repeats")
      a.lsRepeats = std::atol(value.c_str());
    else if (key == "--seconds")
      a.soakSeconds = std::atol(value.c_str());
    else
      fail("unknown option " + key);
  }
  if (a.telnetPort == 0 || a.velmarPid == 0 || a.simPid == 0) {
    fail(
        "usage: velmar-load --telnet-port N --velmar-pid P --sim-pid P [--sim-port N "
        "--velmar PATH] [--mode bench|soak] [--sessions 1,50,...] [--rounds 20,4,...] "
        "[--ls-repeats N] [--seconds N]");
  }
  if (a.rounds.size() < a.sessions.size()) a.rounds.resize(a.sessions.size(), 1);
  return a;
}

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
  if (!args.velmarPath.empty() && args.simPort != 0) lsAgainstFloor(args, ref);
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

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const Args args = parseArgs(argc, argv);
  const Reference ref = captureReference(args.telnetPort);
  if (args.mode == "soak") return soak(args, ref);
  return bench(args, ref);
}
