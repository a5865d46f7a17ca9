// A buffered socket stream for httplib's request parser, whose waits give up early once the
// server is stopping, so that stop() never sits out a read timeout.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <httplib.h>
#include <atomic>
#include <cstddef>
#include <string>

namespace velmar::sim {

class ConnectionStream : public httplib::Stream {
 public:
  // Waits also watch `stopFd`, which becomes readable at stop, so that an idle connection
  // costs no wake-ups.
  ConnectionStream(int sock, const std::atomic<bool>& stopping, int stopFd)
      : sock_(sock), stopping_(stopping), stopFd_(stopFd) {}

  // Any wait for input first sends what was written so far: httplib waits for readability
  // after writing a reply, and an interim "100 Continue" must reach the client.
  bool is_readable() const override;
  bool is_writable() const override { return true; }  // writes are buffered; flush() waits

  ssize_t read(char* ptr, size_t size) override;
  // Collects a reply so that status line, headers and body leave in one send.
  ssize_t write(const char* ptr, size_t size) override;
  // Sends what was written; false when not all of it could be sent.
  bool flush() const;
  // Forgets what was written and not sent yet.
  void discard() const { out_.clear(); }

  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return sock_; }

  bool hasBuffered() const { return begin_ < end_; }

  // Waits up to `ms` for the event, returning false early when the server stops.
  bool waitFor(short event, int ms) const;

 private:
  static constexpr int kReadTimeoutMs = 5000;
  static constexpr int kWriteTimeoutMs = 5000;
  static constexpr size_t kFlushThreshold = 64 * 1024;

  int sock_;
  const std::atomic<bool>& stopping_;
  int stopFd_;
  char buffer_[16 * 1024];
  size_t begin_ = 0, end_ = 0;
  mutable std::string out_;
};

// The address and port of a socket's own end (getsockname) or its peer's (getpeername).
void SocketAddress(int sock, int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port);

}  // namespace velmar::sim
