#include "sim/connection_pool.h"

#include <utility>

namespace velmar::sim {

void ConnectionPool::enqueue(std::function<void()> job) {
  ++accepted_;
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
  if (jobs_.size() > available_ && threads_.size() < maxThreads_) {
    ++available_;
    threads_.emplace_back([this] { work(); });
  }
  ready_.notify_one();
}

void ConnectionPool::shutdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (auto& t : threads_) t.join();
}

void ConnectionPool::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    --available_;
    lock.unlock();
    job();
    lock.lock();
    ++available_;
  }
}

}  // namespace velmar::sim
