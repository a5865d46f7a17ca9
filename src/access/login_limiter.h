// Slows brute force down: failed logins are counted per client address, and an address with
// too many of them in a window is shut out for a while.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace velmar::access {

struct LoginLimits {
  int maxFailures = 10;               // failures within `window` that shut an address out
  std::chrono::seconds window{600};   // counted over the last 10 minutes
  std::chrono::seconds lockout{600};  // how long the address stays shut out
  std::size_t maxAddresses = 4096;    // addresses remembered at most
};

class LoginLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  using Settings = LoginLimits;

  explicit LoginLimiter(Settings settings = {}, Now now = &Clock::now);

  // Whether `address` is shut out now.
  bool Blocked(const std::string& address);
  // Counts one failed login from `address`; true when that failure shut the address out.
  bool RecordFailure(const std::string& address);
  // A successful login does not clear the count: a guesser who knows one password must not
  // get more tries at the others.

  std::size_t TrackedAddresses() const;

 private:
  struct Entry {
    Clock::time_point windowStart{};
    int failures = 0;
    Clock::time_point blockedUntil{};
    Clock::time_point lastSeen{};
  };

  void forgetExpired(Clock::time_point now);
  bool expired(const Entry& entry, Clock::time_point now) const;

  Settings settings_;
  Now now_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// The address part of a peer text such as "127.0.0.1:5555" or "[::1]:5555": what the limits
// count by.
std::string AddressOfPeer(const std::string& peer);

}  // namespace velmar::access
