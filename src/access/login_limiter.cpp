#include "access/login_limiter.h"

#include <algorithm>

namespace velmar::access {

LoginLimiter::LoginLimiter(Settings settings, Now now)
    : settings_(settings), now_(std::move(now)) {}

bool LoginLimiter::expired(const Entry& entry, Clock::time_point now) const {
  return now >= entry.blockedUntil && now - entry.windowStart >= settings_.window;
}

bool LoginLimiter::Blocked(const std::string& address) {
  const auto now = now_();
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(address);
  return it != entries_.end() && now < it->second.blockedUntil;
}

bool LoginLimiter::RecordFailure(const std::string& address) {
  const auto now = now_();
  std::lock_guard lock(mutex_);
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= settings_.maxAddresses) forgetExpired(now);
    if (entries_.size() >= settings_.maxAddresses) {
      // Still full: the address seen longest ago makes room.
      auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.second.lastSeen < b.second.lastSeen;
      });
      entries_.erase(oldest);
    }
    it = entries_.emplace(address, Entry{now, 0, {}, now}).first;
  }
  Entry& entry = it->second;
  entry.lastSeen = now;
  if (now - entry.windowStart >= settings_.window) {
    entry.windowStart = now;
    entry.failures = 0;
  }
  if (++entry.failures < settings_.maxFailures) return false;
  // Shut out; the count starts afresh once the lockout is over.
  entry.blockedUntil = now + settings_.lockout;
  entry.windowStart = entry.blockedUntil;
  entry.failures = 0;
  return true;
}

std::size_t LoginLimiter::TrackedAddresses() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void LoginLimiter::forgetExpired(Clock::time_point now) {
  std::erase_if(entries_, [&](const auto& item) { return expired(item.second, now); });
}

std::string AddressOfPeer(const std::string& peer) {
  if (!peer.empty() && peer.front() == '[') {
    const auto close = peer.find(']');
    return close == std::string::npos ? peer : peer.substr(0, close + 1);
  }
  const auto colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

}  // namespace velmar::access
