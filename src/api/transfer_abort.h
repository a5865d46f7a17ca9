#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace velmar::api {

// The sockets that one HTTP client has open, known to the process-wide abort registry so that
// another thread can cut the client's transfer short. Sockets are opened and closed through
// it under the registry's lock, so an abort never touches a descriptor that has been reused.
class SocketRegistration {
 public:
  SocketRegistration();
  ~SocketRegistration();
  SocketRegistration(const SocketRegistration&) = delete;
  SocketRegistration& operator=(const SocketRegistration&) = delete;

  // socket(2) with close-on-exec added; -1 with errno ECANCELED while transfers are aborted.
  int Open(int family, int type, int protocol);
  int Close(int fd);

  // A transfer starts: from now until EndUse() the idle closer leaves these sockets alone.
  // False when it has shut them down meanwhile (the connections were idle too long): the
  // owner must close them and start afresh.
  bool BeginUse();
  // The transfer is over; the sockets left open count as idle from now.
  void EndUse();

 private:
  friend void CloseIdleConnections(std::chrono::steady_clock::time_point now);
  friend void AbortAllTransfers();
  enum State : int { Idle, Busy, ShutDown };

  std::vector<int> sockets_;
  std::atomic<int> state_{Idle};
  std::atomic<std::int64_t> idleSince_{0};  // steady clock, nanoseconds
};

// How long a kept connection may stay unused before it is closed (30 s unless set). A thread of
// the process looks after every client's idle connections, so that they close on time even
// while their owner waits for its user; the owner notices at its next request and opens a new
// one.
void SetIdleConnectionTimeout(std::chrono::milliseconds timeout);

// Starts that thread, if it is not running yet; the first kept connection starts it anyway.
void StartIdleConnectionCloser();

// Shuts down the connections idle for longer than the time-out; called by that thread.
void CloseIdleConnections(std::chrono::steady_clock::time_point now);

// What a transfer cut short by AbortAllTransfers() raises.
inline constexpr const char* kAbortedMessage = "Request aborted.";

// True from AbortAllTransfers() until ResumeTransfers().
bool TransfersAborted();

// Aborts every transfer in flight on any thread at once (their Post raises "Request aborted.")
// and makes every Post that starts later fail the same way until ResumeTransfers().
void AbortAllTransfers();
void ResumeTransfers();

}  // namespace velmar::api
