#include "access/login_limiter.h"

#include <utility>

namespace velmar::access {

LoginLimiter::Attempt::Attempt(Attempt&& other) noexcept
    : limiter_(other.limiter_), key_(std::move(other.key_)) {
  other.limiter_ = nullptr;
}

LoginLimiter::Attempt::~Attempt() {
  if (limiter_ != nullptr) limiter_->settle(key_, Result::kForgotten);
}

bool LoginLimiter::Attempt::Failed() {
  LoginLimiter* limiter = std::exchange(limiter_, nullptr);
  return limiter != nullptr && limiter->settle(key_, Result::kFailed);
}

void LoginLimiter::Attempt::Succeeded() {
  LoginLimiter* limiter = std::exchange(limiter_, nullptr);
  if (limiter != nullptr) limiter->settle(key_, Result::kSucceeded);
}

LoginLimiter::LoginLimiter(Settings settings, Now now)
    : settings_(settings), now_(std::move(now)) {}

LoginLimiter::Entry* LoginLimiter::find(const std::string& key) {
  const auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

bool LoginLimiter::forgettable(const Entry& entry, Clock::time_point now) const {
  return entry.pending == 0 && now >= entry.blockedUntil &&
         (entry.failures == 0 || now - entry.windowStart >= settings_.window);
}

void LoginLimiter::erase(const std::string& key) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return;
  (it->second.shutOut ? shutOut_ : counting_).erase(it->second.order);
  entries_.erase(it);
}

void LoginLimiter::refresh(Entry& entry, const std::string& key, Clock::time_point now) {
  if (now < entry.blockedUntil) return;
  if (entry.shutOut) {
    counting_.splice(counting_.end(), shutOut_, entry.order);
    entry.shutOut = false;
  } else if (!key.empty()) {
    counting_.splice(counting_.end(), counting_, entry.order);
  }
  if (now - entry.windowStart >= settings_.window) {
    entry.windowStart = now;
    entry.failures = 0;
  }
}

bool LoginLimiter::makeRoom(Clock::time_point now) {
  // Clients whose lockout is over first; a shut-out client never makes room.
  while (!shutOut_.empty() && entries_.at(shutOut_.front()).blockedUntil <= now) {
    const std::string key = shutOut_.front();
    Entry& entry = entries_.at(key);
    if (forgettable(entry, now)) {
      erase(key);
      return true;
    }
    counting_.splice(counting_.end(), shutOut_, entry.order);
    entry.shutOut = false;
  }
  // Then the client seen longest ago, unless it has an attempt under way.
  for (const std::string& key : counting_) {
    if (entries_.at(key).pending == 0) {
      erase(std::string(key));
      return true;
    }
  }
  return false;
}

LoginLimiter::Entry& LoginLimiter::entryFor(const std::string& key, std::string& placedUnder,
                                            Clock::time_point now) {
  placedUnder.clear();
  if (key.empty()) return shared_;
  if (Entry* entry = find(key)) {
    placedUnder = key;
    return *entry;
  }
  // The fronts of both lists are the first to be done with: forgetting them as they come
  // keeps the table small without a sweep.
  while (!counting_.empty() && forgettable(entries_.at(counting_.front()), now)) {
    erase(std::string(counting_.front()));
  }
  while (!shutOut_.empty() && forgettable(entries_.at(shutOut_.front()), now)) {
    erase(std::string(shutOut_.front()));
  }
  if (entries_.size() >= settings_.maxAddresses && !makeRoom(now)) return shared_;
  Entry& entry = entries_[key];
  entry.windowStart = now;
  entry.order = counting_.insert(counting_.end(), key);
  placedUnder = key;
  return entry;
}

std::optional<LoginLimiter::Attempt> LoginLimiter::Begin(const std::string& peer) {
  const std::string key = LimitKeyOf(peer);
  const auto now = now_();
  std::lock_guard lock(mutex_);
  // While the clients without a place are shut out together, a newcomer is one of them.
  if (find(key) == nullptr && now < shared_.blockedUntil) return std::nullopt;
  std::string placed;
  Entry& entry = entryFor(key, placed, now);
  refresh(entry, placed, now);
  if (now < entry.blockedUntil || entry.failures + entry.pending >= settings_.maxFailures) {
    return std::nullopt;
  }
  ++entry.pending;
  return Attempt(this, placed);
}

bool LoginLimiter::settle(const std::string& key, Result result) {
  const auto now = now_();
  std::lock_guard lock(mutex_);
  Entry* entry = key.empty() ? &shared_ : find(key);
  if (entry == nullptr) return false;  // never happens: an entry with attempts stays
  --entry->pending;
  if (result != Result::kFailed) return false;
  refresh(*entry, key, now);
  // Another attempt shut the client out meanwhile; the lockout has paid for this one.
  if (now < entry->blockedUntil) return false;
  if (++entry->failures < settings_.maxFailures) return false;
  // Shut out; the count starts afresh once the lockout is over.
  entry->blockedUntil = now + settings_.lockout;
  entry->windowStart = entry->blockedUntil;
  entry->failures = 0;
  if (!key.empty()) {
    shutOut_.splice(shutOut_.end(), counting_, entry->order);
    entry->shutOut = true;
  }
  return true;
}

bool LoginLimiter::Blocked(const std::string& peer) {
  const std::string key = LimitKeyOf(peer);
  const auto now = now_();
  std::lock_guard lock(mutex_);
  const Entry* entry = key.empty() ? &shared_ : find(key);
  if (entry == nullptr) entry = &shared_;
  return now < entry->blockedUntil;
}

std::size_t LoginLimiter::TrackedAddresses() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace velmar::access
