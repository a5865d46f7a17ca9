#include "telnet/connection.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/error.h"
#include "platform/socket_address.h"
#include "text/console_layout.h"
#include "text/encoding.h"

namespace velmar::telnet {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;

std::string peerAddress(int fd) {
  const auto address = platform::PeerAddress(fd);
  return address ? platform::FormatEndpoint(*address) : std::string();
}

}  // namespace

Connection::Connection(int fd, std::chrono::milliseconds writeLimit)
    : fd_(fd), peer_(peerAddress(fd)), writeLimit_(writeLimit) {}

Connection::~Connection() {
  if (!fd_.valid()) return;
  // Closing a socket with unread input makes the system reset the connection, and some
  // clients then throw away what they have not shown yet (the farewell, a failure line).
  // Read away what is left first; the socket is shut down, so this never waits.
  ::shutdown(fd_.get(), SHUT_RDWR);
  char discard[4096];
  for (int i = 0; i < 16; ++i) {
    if (::recv(fd_.get(), discard, sizeof discard, MSG_DONTWAIT) <= 0) break;
  }
}

void Connection::failClosed(const char* what) {
  Disconnect();
  throw Error(std::string("Connection closed: ") + what);
}

void Connection::failEnded() {
  throw Error("Connection closed: the session was ended");
}

void Connection::WriteBytes(std::string_view bytes) {
  // The limit runs from the last progress: a slow reader is served, one that reads nothing
  // at all gives its seat up.
  auto deadline = Clock::now() + writeLimit_;
  while (!bytes.empty()) {
    if (closed_.load()) failClosed("the connection was closed");
    const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      deadline = Clock::now() + writeLimit_;
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (awaitReady(POLLOUT, deadline)) continue;
      setCloseReason(WriteStalledReason(writeLimit_));
      failClosed(closeReason().c_str());
    }
    failClosed(sent < 0 ? std::strerror(errno) : "nothing could be sent");
  }
}

bool Connection::awaitReady(short events, Clock::time_point deadline) const {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    // Disconnect() shuts the socket down, which wakes this wait; the next call then fails.
    pollfd ready{fd_.get(), events, 0};
    const int count = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (count != 0 && !(count < 0 && errno == EINTR)) return true;
  }
}

bool Connection::receive(bool wait) {
  buffer_.resize(kReadChunk);
  for (;;) {
    const ssize_t got = ::recv(fd_.get(), buffer_.data(), buffer_.size(), wait ? 0 : MSG_DONTWAIT);
    if (got > 0) {
      bytesReceived_ += static_cast<std::uint64_t>(got);
      answers_.clear();
      input_.feed(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), answers_);
      // Everything written before the client's request is sent by now, as a TIMING-MARK
      // answer requires.
      if (!answers_.empty()) WriteBytes(answers_);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got < 0) endReason_ = std::strerror(errno);
    inputEnded_ = true;
    return false;
  }
}

InputLine Connection::ReadLine(std::chrono::milliseconds idleLimit) {
  input_.commandDone();
  auto idleUntil = Clock::now() + idleLimit;
  for (;;) {
    if (ending_.load()) failEnded();
    if (auto line = input_.next()) {
      commandWidth_ = input_.windowWidth();
      return std::move(*line);
    }
    if (closed_.load()) failClosed("the connection was closed");
    // The end of input: a session ended by the server (EndSession) or a client gone.
    const auto failInput = [this] {
      if (ending_.load()) failEnded();
      failClosed(endReason_.c_str());
    };
    if (inputEnded_) failInput();
    if (idleLimit.count() <= 0) {
      if (!receive(true)) failInput();
      continue;
    }
    if (!awaitReady(POLLIN, idleUntil)) return {InputLine::Status::kIdle, {}};
    const std::uint64_t before = bytesReceived_;
    if (!receive(false)) failInput();
    if (bytesReceived_ != before) idleUntil = Clock::now() + idleLimit;
  }
}

std::size_t Connection::InputSecretLn(char16_t* out, std::size_t capacity) {
  InputLine line = ReadLine();
  const std::size_t length = TakeSecret(line, out, capacity);
  explicit_bzero(buffer_.data(), buffer_.size());
  return length;
}

void Connection::SetClientEcho(bool on) {
  answers_.clear();
  input_.offerEcho(!on, answers_);
  if (!answers_.empty()) WriteBytes(answers_);
}

std::int32_t Connection::ConsoleChars() const {
  return commandWidth_ > 0 ? commandWidth_ : text::gConsoleChars.load();
}

void Connection::delay(std::int32_t msec) {
  if (msec <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msec);
  for (;;) {
    if (closed_.load() || ending_.load() || input_.interrupted()) return;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    if (inputEnded_ || !input_.acceptsMore()) {
      // Nothing more to read for now: a plain wait that switch-off cuts short.
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, deadline, [this] { return closed_.load() || ending_.load(); });
      return;
    }
    pollfd waitFor{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&waitFor, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return;
    // Disconnect() shuts the socket down, which wakes the poll with the end of input.
    if (ready > 0) receive(false);
  }
}

void Connection::EndSession() {
  {
    std::lock_guard lock(mutex_);
    if (closed_.load() || ending_.exchange(true)) return;
  }
  ::shutdown(fd_.get(), SHUT_RD);
  wake_.notify_all();
}

void Connection::Disconnect() {
  {
    std::lock_guard lock(mutex_);
    if (closed_.exchange(true)) return;
  }
  ::shutdown(fd_.get(), SHUT_RDWR);
  wake_.notify_all();
}

}  // namespace velmar::telnet
