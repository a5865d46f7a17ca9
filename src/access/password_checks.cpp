#include "access/password_checks.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace velmar::access {

namespace {
constexpr std::chrono::milliseconds kAskSlice{100};
}  // namespace

PasswordChecks::Limits PasswordChecks::DefaultLimits() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return {cores, std::size_t{512} * cores};
}

PasswordChecks::PasswordChecks(Limits limits)
    : limits_{std::max(1u, limits.running), limits.waiting} {}

bool PasswordChecks::wait(std::list<int>::iterator place, std::unique_lock<std::mutex>& lock,
                          const std::function<bool()>& wanted) {
  const auto ourTurn = [&] { return queue_.begin() == place && running_ < limits_.running; };
  while (!ourTurn()) {
    if (changed_.wait_for(lock, kAskSlice, ourTurn)) break;
    lock.unlock();
    const bool stillWanted = wanted();
    lock.lock();
    if (!stillWanted) return false;
  }
  return true;
}

PasswordChecks::Outcome PasswordChecks::Run(const std::function<void()>& check,
                                            const std::function<bool()>& wanted) {
  {
    std::unique_lock lock(mutex_);
    if (!queue_.empty() || running_ >= limits_.running) {
      if (queue_.size() >= limits_.waiting) return Outcome::kBusy;
      const auto place = queue_.insert(queue_.end(), 0);
      const bool turn = wait(place, lock, wanted);
      queue_.erase(place);
      // The next in line may start too, or take this one's place at the front.
      changed_.notify_all();
      if (!turn) return Outcome::kAbandoned;
    }
    ++running_;
  }
  struct Done {
    PasswordChecks& self;
    ~Done() {
      {
        std::lock_guard lock(self.mutex_);
        --self.running_;
      }
      self.changed_.notify_all();
    }
  } done{*this};
  check();
  return Outcome::kChecked;
}

std::size_t PasswordChecks::Waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace velmar::access
