#include "api/transfer_abort.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace velmar::api {

namespace {

// Both never destroyed: the idle closer may still use them while the process ends.
std::mutex& gRegistryMutex = *new std::mutex;
std::set<SocketRegistration*>& gRegistry = *new std::set<SocketRegistration*>;
std::atomic<bool> gAbortAll{false};
std::atomic<std::int64_t> gIdleTimeoutNs{
    std::chrono::nanoseconds(std::chrono::seconds(30)).count()};
std::once_flag gIdleCloserStarted;

std::int64_t NowNs() {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

}  // namespace

// Looks at the idle connections a few times per time-out, at most once a second.
void StartIdleConnectionCloser() {
  std::call_once(gIdleCloserStarted, [] {
    std::thread([] {
      for (;;) {
        const auto timeout = std::chrono::nanoseconds(gIdleTimeoutNs.load());
        std::this_thread::sleep_for(std::clamp<std::chrono::nanoseconds>(
            timeout / 4, std::chrono::milliseconds(5), std::chrono::seconds(1)));
        CloseIdleConnections(std::chrono::steady_clock::now());
      }
    }).detach();
  });
}

SocketRegistration::SocketRegistration() {
  std::lock_guard lock(gRegistryMutex);
  gRegistry.insert(this);
}

SocketRegistration::~SocketRegistration() {
  std::lock_guard lock(gRegistryMutex);
  for (int fd : sockets_) ::close(fd);
  gRegistry.erase(this);
}

bool SocketRegistration::BeginUse() {
  return state_.exchange(Busy) != ShutDown;
}

void SocketRegistration::EndUse() {
  idleSince_.store(NowNs());
  state_.store(Idle);
  StartIdleConnectionCloser();
}

void SetIdleConnectionTimeout(std::chrono::milliseconds timeout) {
  gIdleTimeoutNs.store(std::chrono::nanoseconds(timeout).count());
}

void CloseIdleConnections(std::chrono::steady_clock::time_point now) {
  const std::int64_t limit = now.time_since_epoch().count() - gIdleTimeoutNs.load();
  std::lock_guard lock(gRegistryMutex);
  for (SocketRegistration* registration : gRegistry) {
    if (registration->sockets_.empty() || registration->idleSince_.load() > limit) continue;
    int expected = SocketRegistration::Idle;
    // Only a client between transfers; its owner sees the state at its next BeginUse().
    if (!registration->state_.compare_exchange_strong(expected, SocketRegistration::ShutDown))
      continue;
    // Shutting down ends the connection; the descriptor stays its owner's to close, so that
    // it is never reused under the owner's feet.
    for (int fd : registration->sockets_) ::shutdown(fd, SHUT_RDWR);
  }
}

int SocketRegistration::Open(int family, int type, int protocol) {
  std::lock_guard lock(gRegistryMutex);
  if (gAbortAll.load()) {
    errno = ECANCELED;
    return -1;
  }
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd >= 0) sockets_.push_back(fd);
  return fd;
}

int SocketRegistration::Close(int fd) {
  std::lock_guard lock(gRegistryMutex);
  sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), fd), sockets_.end());
  return ::close(fd);
}

bool TransfersAborted() {
  return gAbortAll.load();
}

void AbortAllTransfers() {
  std::lock_guard lock(gRegistryMutex);
  gAbortAll.store(true);
  // Shutting a socket down wakes whatever waits on it: a connect, a send, a receive, or the
  // poll that curl sleeps in.
  for (auto* registration : gRegistry)
    for (int fd : registration->sockets_) ::shutdown(fd, SHUT_RDWR);
}

void ResumeTransfers() {
  gAbortAll.store(false);
}

}  // namespace velmar::api
