#include "telnet_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "load_common.h"

namespace velmar::load {

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

std::string readUntilSuffix(int fd, const std::string& suffix) {
  std::string buffer;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  char chunk[16384];
  while (buffer.size() < suffix.size() ||
         buffer.compare(buffer.size() - suffix.size(), suffix.size(), suffix) != 0) {
    if (Clock::now() > deadline) fail("no \"" + suffix + "\" within 30 s; got: " + buffer);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) fail("the Telnet connection closed; got: " + buffer);
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  return buffer;
}

int telnetLogin(int port, const std::string& user, const std::string& password) {
  const int fd = connectLoopback(port, true);
  readUntilSuffix(fd, "Login: ");
  writeAll(fd, user + "\r\n");
  readUntilSuffix(fd, "Password: ");
  writeAll(fd, password + "\r\n");
  readUntilSuffix(fd, kPromptEnd);
  return fd;
}

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

}  // namespace velmar::load
