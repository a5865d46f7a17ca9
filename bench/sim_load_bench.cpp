// Requests per second of the simulated server on loopback, with one kept-alive connection per
// client thread and with a new connection per request. The reference is a canned responder in
// this file: a thread per connection that answers every request with fixed bytes, the ceiling
// of HTTP on loopback for this machine. The "ratio" counter is the simulator's rate divided by
// the reference's rate in the same run (1.0 = as fast as the ceiling).
//
// Every load loop is bounded: a fixed number of requests per benchmark run.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"

namespace {

constexpr int kRequestsPerThread = 4000;

const std::string kBody = R"({"method":"IPS_GetObject","params":[0],"id":1,"jsonrpc":"2.0"})";

std::string RequestBytes(bool close) {
  return "POST /api/ HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Connection: " +
         std::string(close ? "close" : "keep-alive") +
         "\r\nContent-Length: " + std::to_string(kBody.size()) + "\r\n\r\n" + kBody;
}

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("connect failed");
  int yes = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  return fd;
}

// Reads one reply with a Content-Length body; `buffer` keeps bytes beyond it.
bool ReadReply(int fd, std::string& buffer) {
  char chunk[8192];
  for (;;) {
    std::size_t end = buffer.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::size_t at = buffer.find("Content-Length: ");
      if (at == std::string::npos || at > end) at = buffer.find("content-length: ");
      std::size_t length = at < end ? std::stoul(buffer.substr(at + 16)) : 0;
      if (buffer.size() >= end + 4 + length) {
        buffer.erase(0, end + 4 + length);
        return true;
      }
    }
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

// The reference: answers every request on a connection with the same canned reply, with a fixed
// pool of worker threads fed by one accepting thread, as the simulator is organised.
class CannedResponder {
 public:
  CannedResponder() {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, SOMAXCONN) != 0)
      throw std::runtime_error("reference: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    for (int i = 0; i < 16; ++i) workers_.emplace_back([this] { Work(); });
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~CannedResponder() {
    stop_ = true;
    ready_.notify_all();
    acceptor_.join();
    for (auto& t : workers_) t.join();
    ::close(listen_);
  }
  int port() const { return port_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard lock(mutex_);
      pending_.push_back(fd);
      ready_.notify_one();
    }
  }
  void Work() {
    for (;;) {
      int fd;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stop_ || !pending_.empty(); });
        if (pending_.empty()) return;
        fd = pending_.front();
        pending_.pop_front();
      }
      Serve(fd);
    }
  }
  static void Serve(int fd) {
    static const std::string body =
        R"({"jsonrpc":"2.0","result":{"ParentID":0,"ObjectID":0,"ObjectType":0,"ObjectName":"IP-Symcon"},"id":1})";
    int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::string buffer;
    char chunk[8192];
    for (;;) {
      std::size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
          ::close(fd);
          return;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
      }
      const bool close = buffer.find("Connection: close") < end;
      std::size_t length = std::stoul(buffer.substr(buffer.find("Content-Length: ") + 16));
      while (buffer.size() < end + 4 + length) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<std::size_t>(n));
      }
      buffer.erase(0, end + 4 + length);
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n" +
                          (close ? "Connection: close\r\n" : "") + "\r\n" + body;
      ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      if (close) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return;
      }
    }
  }

  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<int> pending_;
};

int SimulatorPort() {
  static velmar::sim::Simulator* server = [] {
    auto* s = new velmar::sim::Simulator();  // the demo home
    s->start();
    return s;
  }();
  return server->port();
}

int ReferencePort() {
  static CannedResponder* reference = new CannedResponder();
  return reference->port();
}

// Rates of the last finished run of each benchmark, to print the ratio beside the simulator's.
std::mutex gRatesMutex;
std::map<std::string, double> gRates;

void Report(benchmark::State& state, const std::string& mode, bool simulator, double seconds) {
  const double rate = kRequestsPerThread * state.threads() / seconds;
  std::lock_guard lock(gRatesMutex);
  gRates[(simulator ? "sim/" : "ref/") + mode + "/" + std::to_string(state.threads())] = rate;
  const auto ref = gRates.find("ref/" + mode + "/" + std::to_string(state.threads()));
  if (simulator && ref != gRates.end())
    state.counters["ratio"] =
        benchmark::Counter(rate / ref->second, benchmark::Counter::kAvgThreads);
}

template <bool kSimulator, bool kKeepAlive>
void BM_Requests(benchmark::State& state) {
  const int port = kSimulator ? SimulatorPort() : ReferencePort();
  const std::string request = RequestBytes(!kKeepAlive);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::string buffer;
    int fd = kKeepAlive ? Connect(port) : -1;
    for (int i = 0; i < kRequestsPerThread; ++i) {
      if (!kKeepAlive) fd = Connect(port);
      if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0 || !ReadReply(fd, buffer)) {
        state.SkipWithError("request failed");
        break;
      }
      if (!kKeepAlive) {
        ::close(fd);
        buffer.clear();
      }
    }
    if (kKeepAlive) ::close(fd);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    Report(state, kKeepAlive ? "keepalive" : "newconn", kSimulator, seconds);
  }
  state.SetItemsProcessed(state.iterations() * kRequestsPerThread);
}

// Each reference runs right before the simulator with the same mode and thread count.
#define VELMAR_SIM_LOAD(keepAlive, threads)                                           \
  BENCHMARK(BM_Requests<false, keepAlive>)                                            \
      ->Name(std::string("Reference/") + (keepAlive ? "KeepAlive" : "NewConnection")) \
      ->Threads(threads)                                                              \
      ->Iterations(1)                                                                 \
      ->UseManualTime();                                                              \
  BENCHMARK(BM_Requests<true, keepAlive>)                                             \
      ->Name(std::string("Simulator/") + (keepAlive ? "KeepAlive" : "NewConnection")) \
      ->Threads(threads)                                                              \
      ->Iterations(1)                                                                 \
      ->UseManualTime()

VELMAR_SIM_LOAD(true, 1);
VELMAR_SIM_LOAD(true, 4);
VELMAR_SIM_LOAD(false, 1);
VELMAR_SIM_LOAD(false, 4);

}  // namespace

BENCHMARK_MAIN();
