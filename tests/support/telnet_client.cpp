#include "support/telnet_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/error.h"

namespace velmar::testing {

namespace {

std::string printable(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 32 && c < 127 && c != '\\') {
      out.push_back(ch);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace

TelnetClient::TelnetClient(const std::string& host, std::uint16_t port) {
  sockaddr_storage addr{};
  socklen_t len = 0;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    len = sizeof *in4;
  } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    len = sizeof *in6;
  } else {
    throw Error("test client: bad address " + host);
  }
  fd_ = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw Error(std::string("test client: socket: ") + std::strerror(errno));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    throw Error("test client: connect to " + host + " port " + std::to_string(port) + ": " +
                std::strerror(error));
  }
}

TelnetClient::~TelnetClient() {
  close();
}

void TelnetClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TelnetClient::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TelnetClient::fail(const std::string& what) const {
  throw Error("test client: " + what + "; received so far: \"" + printable(pending_) + "\"");
}

void TelnetClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      fail(std::string("send: ") + std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

bool TelnetClient::fill(std::chrono::steady_clock::time_point deadline, bool throwOnTimeout) {
  if (eof_) return false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      if (throwOnTimeout) fail("deadline passed");
      return true;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // re-check the deadline
    char buf[4096];
    const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      eof_ = true;
      return false;
    }
    pending_.append(buf, static_cast<std::size_t>(got));
    return true;
  }
}

std::string TelnetClient::readExactly(std::size_t count, Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pending_.size() < count) {
    if (!fill(deadline)) fail("connection closed before " + std::to_string(count) + " bytes");
  }
  std::string result = pending_.substr(0, count);
  pending_.erase(0, count);
  return result;
}

std::string TelnetClient::readUntil(std::string_view marker, Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto at = pending_.find(marker);
    if (at != std::string::npos) {
      std::string result = pending_.substr(0, at + marker.size());
      pending_.erase(0, at + marker.size());
      return result;
    }
    if (!fill(deadline)) fail("connection closed before \"" + printable(marker) + "\"");
  }
}

std::string TelnetClient::readToEnd(Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fill(deadline)) {
  }
  std::string result;
  result.swap(pending_);
  return result;
}

std::string TelnetClient::readFor(Duration window) {
  const auto deadline = std::chrono::steady_clock::now() + window;
  while (std::chrono::steady_clock::now() < deadline && fill(deadline, false)) {
  }
  std::string result;
  result.swap(pending_);
  return result;
}

bool TelnetClient::waitClosed(Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!fill(deadline, false)) return true;
  }
  return eof_;
}

}  // namespace velmar::testing
