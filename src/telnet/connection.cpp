#include "telnet/connection.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/error.h"
#include "platform/socket_address.h"
#include "text/console_layout.h"
#include "text/encoding.h"

namespace velmar::telnet {

namespace {

constexpr std::size_t kReadChunk = 4096;

std::string peerAddress(int fd) {
  const auto address = platform::PeerAddress(fd);
  return address ? platform::FormatEndpoint(*address) : std::string();
}

}  // namespace

Connection::Connection(int fd) : fd_(fd), peer_(peerAddress(fd)) {}

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

void Connection::WriteBytes(std::string_view bytes) {
  while (!bytes.empty()) {
    if (closed_.load()) failClosed("the connection was closed");
    const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      failClosed(std::strerror(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void Connection::Write(std::u16string_view text) {
  if (text.empty()) return;
  WriteBytes(text::Utf16ToUtf8(text));
}

void Connection::WriteLn(std::u16string_view text) {
  std::string bytes = text::Utf16ToUtf8(text);
  bytes += "\r\n";
  WriteBytes(bytes);
}

void Connection::WriteFormated(std::u16string_view line) {
  WriteBytes(text::WriteFormatedBytes(line));
}

void Connection::WriteFormated(const std::vector<std::u16string>& lines) {
  // Line by line, so that each line is cut at the width current when it is written.
  for (const auto& line : lines) WriteFormated(line);
}

std::u16string Connection::InputLn() {
  std::u16string decoded;
  for (;;) {
    while (bufferPos_ < buffer_.size()) {
      decoded.clear();
      decoder_.feed(static_cast<unsigned char>(buffer_[bufferPos_++]), decoded);
      for (const char16_t c : decoded) {
        if (assembler_.put(c)) return assembler_.take();
      }
    }
    if (closed_.load()) failClosed("the connection was closed");
    buffer_.resize(kReadChunk);
    bufferPos_ = 0;
    const ssize_t got = ::recv(fd_.get(), buffer_.data(), buffer_.size(), 0);
    if (got <= 0) {
      buffer_.clear();
      if (got < 0 && errno == EINTR) continue;
      failClosed(got == 0 ? "the client ended the connection" : std::strerror(errno));
    }
    buffer_.resize(static_cast<std::size_t>(got));
  }
}

void Connection::delay(std::int32_t msec) {
  if (msec <= 0) return;
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(msec), [this] { return closed_.load(); });
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
