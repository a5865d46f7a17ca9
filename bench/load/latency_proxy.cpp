#include "latency_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>

namespace velmar::bench {

namespace {

using Clock = std::chrono::steady_clock;

int loopbackSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

sockaddr_in loopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Bytes on their way in one direction: each chunk with the moment it may be handed on; an
// empty chunk stands for the end of the sender's data.
struct Lane {
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;
  };
  int from = -1;
  int to = -1;
  std::deque<Chunk> queue;
  bool readDone = false;   // the sender's end arrived
  bool writeDone = false;  // that end has been passed on
  bool first = true;       // nothing has come yet
};

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

LatencyProxy::LatencyProxy(int upstreamPort, std::chrono::microseconds roundTrip)
    : upstreamPort_(upstreamPort), halfTrip_(roundTrip / 2), handshake_(roundTrip) {
  listenFd_ = loopbackSocket();
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = loopbackAddress(0);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 256) != 0)
    throw std::runtime_error(std::string("proxy listen: ") + std::strerror(errno));
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LatencyProxy::~LatencyProxy() {
  stopping_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listenFd_);
  // Every relay looks at the flag at least every 50 ms; wait for them, but not for ever.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (live_.load() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void LatencyProxy::acceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ++connections_;
    ++live_;
    std::thread([this, client] {
      relay(client);
      --live_;
    }).detach();
  }
}

void LatencyProxy::relay(int client) {
  int server = loopbackSocket();
  sockaddr_in address = loopbackAddress(upstreamPort_);
  if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(server);
    ::close(client);
    return;
  }
  Lane lanes[2];
  lanes[0].from = client;  // requests
  lanes[0].to = server;
  lanes[1].from = server;  // replies
  lanes[1].to = client;
  char buffer[64 * 1024];
  bool broken = false;
  while (!stopping_ && !broken && !(lanes[0].writeDone && lanes[1].writeDone)) {
    // Hand on whatever is due.
    const auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(50);
    for (Lane& lane : lanes) {
      while (!lane.queue.empty() && lane.queue.front().due <= now) {
        Lane::Chunk& chunk = lane.queue.front();
        if (chunk.end) {
          ::shutdown(lane.to, SHUT_WR);
          lane.writeDone = true;
        } else if (!sendAll(lane.to, chunk.bytes)) {
          broken = true;
        }
        lane.queue.pop_front();
      }
      if (!lane.queue.empty() && lane.queue.front().due < next) next = lane.queue.front().due;
    }
    if (broken) break;
    pollfd polls[2];
    for (int i = 0; i < 2; ++i)
      polls[i] = {lanes[i].from, lanes[i].readDone ? short(0) : short(POLLIN), 0};
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now());
    timespec timeout{0, std::max<long>(0, static_cast<long>(wait.count()))};
    if (::ppoll(polls, 2, &timeout, nullptr) <= 0) continue;
    const auto arrived = Clock::now();
    for (int i = 0; i < 2; ++i) {
      if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Lane& lane = lanes[i];
      ssize_t n = ::recv(lane.from, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      Lane::Chunk chunk;
      chunk.due = arrived + halfTrip_;
      // A new connection's first bytes wait for the handshake a network would make first.
      if (i == 0 && lane.first) chunk.due += handshake_;
      // Keep the order of the lane whatever the arithmetic gives.
      if (!lane.queue.empty() && chunk.due < lane.queue.back().due)
        chunk.due = lane.queue.back().due;
      lane.first = false;
      if (n <= 0) {
        chunk.end = true;
        lane.readDone = true;
      } else {
        chunk.bytes.assign(buffer, static_cast<std::size_t>(n));
      }
      lane.queue.push_back(std::move(chunk));
    }
  }
  ::close(server);
  ::close(client);
}

}  // namespace velmar::bench
