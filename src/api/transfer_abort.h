#pragma once

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

 private:
  std::vector<int> sockets_;
};

// What a transfer cut short by AbortAllTransfers() raises.
inline constexpr const char* kAbortedMessage = "Request aborted.";

// True from AbortAllTransfers() until ResumeTransfers().
bool TransfersAborted();

// Aborts every transfer in flight on any thread at once (their Post raises "Request aborted.")
// and makes every Post that starts later fail the same way until ResumeTransfers().
void AbortAllTransfers();
void ResumeTransfers();

}  // namespace velmar::api
