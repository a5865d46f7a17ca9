#include "sim/connection_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace velmar::sim {

bool ConnectionStream::is_readable() const {
  return begin_ < end_ || (flush() && waitFor(POLLIN, kReadTimeoutMs));
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  if (begin_ == end_) {
    if (!flush()) return -1;
    ssize_t n = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!waitFor(POLLIN, kReadTimeoutMs)) return -1;
      n = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    }
    if (n <= 0) return n;
    begin_ = 0;
    end_ = static_cast<size_t>(n);
  }
  size_t n = std::min(size, end_ - begin_);
  std::memcpy(ptr, buffer_ + begin_, n);
  begin_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  out_.append(ptr, size);
  if (out_.size() >= kFlushThreshold && !flush()) return -1;
  return static_cast<ssize_t>(size);
}

bool ConnectionStream::flush() const {
  size_t done = 0;
  while (done < out_.size()) {
    ssize_t n = ::send(sock_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!waitFor(POLLOUT, kWriteTimeoutMs)) break;
    } else if (errno != EINTR) {
      break;
    }
  }
  const bool complete = done == out_.size();
  out_.clear();
  return complete;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  SocketAddress(sock_, &getpeername, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  SocketAddress(sock_, &getsockname, ip, port);
}

bool ConnectionStream::waitFor(short event, int ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p[2] = {{sock_, event, 0}, {stopFd_, POLLIN, 0}};
    const int r = ::poll(p, 2, static_cast<int>(left.count()));
    if (r < 0 && errno != EINTR) return false;
    if (r > 0 && p[0].revents != 0) return true;
    // Otherwise the stop signal (the loop ends on `stopping_`), EINTR or the time-out.
  }
  return false;
}

void SocketAddress(int sock, int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ip.clear();
  port = 0;
  if (get(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  ip = text;
}

}  // namespace velmar::sim
