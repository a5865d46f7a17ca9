#include "api/transfer_abort.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>

namespace velmar::api {

namespace {

std::mutex gRegistryMutex;
std::set<std::vector<int>*> gRegistry;
std::atomic<bool> gAbortAll{false};

}  // namespace

SocketRegistration::SocketRegistration() {
  std::lock_guard lock(gRegistryMutex);
  gRegistry.insert(&sockets_);
}

SocketRegistration::~SocketRegistration() {
  std::lock_guard lock(gRegistryMutex);
  for (int fd : sockets_) ::close(fd);
  gRegistry.erase(&sockets_);
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
  for (auto* sockets : gRegistry)
    for (int fd : *sockets) ::shutdown(fd, SHUT_RDWR);
}

void ResumeTransfers() {
  gAbortAll.store(false);
}

}  // namespace velmar::api
