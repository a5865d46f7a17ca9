// The queue in front of the password checks. An Argon2id check takes about 64 MiB and a
// core for its time: run side by side without a bound, a crowd of logins would take the
// machine's memory. So at most `running` checks run at once (one per core by default) and
// at most `waiting` more wait their turn, first come first served; further logins are
// turned away at once instead of piling up.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>

namespace velmar::access {

class PasswordChecks {
 public:
  struct Limits {
    unsigned running = 1;
    std::size_t waiting = 64;
  };
  // One check per core (std::thread::hardware_concurrency, at least 1), and 512 waiting per
  // core: with about 70 ms a check the last one waits some 36 seconds, inside the login time
  // limit of 60 seconds; a longer queue would only keep connections waiting for nothing.
  static Limits DefaultLimits();

  enum class Outcome {
    kChecked,    // `check` ran
    kBusy,       // the queue was full: `check` did not run
    kAbandoned,  // `wanted` turned false while waiting: `check` did not run
  };

  explicit PasswordChecks(Limits limits = DefaultLimits());

  // Runs `check` on the calling thread once its turn has come. While it waits, `wanted` is
  // asked every 100 ms whether the login still matters (its connection may be gone or out of
  // time). A failure raised by `check` is passed on.
  Outcome Run(const std::function<void()>& check, const std::function<bool()>& wanted);

  const Limits& limits() const { return limits_; }
  // Checks waiting for their turn now.
  std::size_t Waiting() const;

 private:
  bool wait(std::list<int>::iterator place, std::unique_lock<std::mutex>& lock,
            const std::function<bool()>& wanted);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  unsigned running_ = 0;
  std::list<int> queue_;  // one element per waiting check, in order of arrival
};

}  // namespace velmar::access
