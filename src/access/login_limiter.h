// Slows brute force down: login attempts are counted per client (see LimitKeyOf), and a
// client with too many failures in a window is shut out for a while.
//
// An attempt is counted as it begins, before its password is checked: a client may have at
// most `maxFailures` attempts pending and failed within a window together, so that no more
// than that many checks ever fail for it, however many connections it opens at once. An
// attempt that succeeds, or is never checked, gives its place back; a success does not
// clear earlier failures either, so that a guesser who knows one password gets no more
// tries at the others.
//
// The table of clients is bounded. A client that is shut out stays in it until its lockout
// is over; when every place is taken by such clients, the clients that find no place are
// counted together, as one, so that their failures still count: once that shared count
// shuts out, every client without a place of its own is shut out with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "access/address_key.h"

namespace velmar::access {

struct LoginLimits {
  int maxFailures = 10;               // failures within `window` that shut a client out
  std::chrono::seconds window{600};   // counted over the last 10 minutes
  std::chrono::seconds lockout{600};  // how long the client stays shut out
  // Clients remembered at most: about 7 MiB when full. Filling it with shut-out clients
  // within one lockout takes more addresses (or IPv6 /64 networks) than most attackers
  // hold, each with `maxFailures` failed checks.
  std::size_t maxAddresses = 65536;
};

class LoginLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  using Settings = LoginLimits;

  // One attempt that has begun. Failed() or Succeeded() settles it; one destroyed unsettled
  // (its check never ran) gives its place back without counting.
  class Attempt {
   public:
    Attempt(Attempt&& other) noexcept;
    Attempt& operator=(Attempt&&) = delete;
    ~Attempt();
    // The check failed; true when this failure shut the client out.
    bool Failed();
    void Succeeded();

   private:
    friend class LoginLimiter;
    Attempt(LoginLimiter* limiter, std::string key) : limiter_(limiter), key_(std::move(key)) {}
    LoginLimiter* limiter_;
    std::string key_;  // empty for the clients counted together
  };

  explicit LoginLimiter(Settings settings = {}, Now now = &Clock::now);

  // Begins an attempt of the client at `peer` (an address, with or without its port);
  // nothing when the client is shut out or has `maxFailures` attempts pending and failed.
  std::optional<Attempt> Begin(const std::string& peer);
  // Whether the client at `peer` is shut out now.
  bool Blocked(const std::string& peer);

  // Clients with a place of their own.
  std::size_t TrackedAddresses() const;

 private:
  struct Entry {
    Clock::time_point windowStart{};
    Clock::time_point blockedUntil{};
    int failures = 0;
    int pending = 0;
    bool shutOut = false;  // in shutOut_ rather than counting_
    std::list<std::string>::iterator order;
  };
  enum class Result { kFailed, kSucceeded, kForgotten };

  // The client's entry, made when missing (the shared entry when there is no room).
  Entry& entryFor(const std::string& key, std::string& placedUnder, Clock::time_point now);
  Entry* find(const std::string& key);
  bool makeRoom(Clock::time_point now);
  void refresh(Entry& entry, const std::string& key, Clock::time_point now);
  bool forgettable(const Entry& entry, Clock::time_point now) const;
  void erase(const std::string& key);
  bool settle(const std::string& key, Result result);

  Settings settings_;
  Now now_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> counting_;  // clients not shut out, least recently seen first
  std::list<std::string> shutOut_;   // shut-out clients, the first to be let in again first
  Entry shared_;                     // the clients that found no room
};

}  // namespace velmar::access
