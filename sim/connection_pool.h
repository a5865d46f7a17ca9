// The workers that serve connections, one connection each for as long as it stays open. Threads
// are added whenever every one is busy, up to a limit, so that clients that keep idle connections
// open cannot starve new ones. Every connection httplib accepts passes through enqueue(), which
// makes it the place to count them.
#pragma once

#include <httplib.h>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmar::sim {

class ConnectionPool : public httplib::TaskQueue {
 public:
  ConnectionPool(std::size_t maxThreads, std::atomic<std::size_t>& accepted)
      : maxThreads_(maxThreads), accepted_(accepted) {}

  void enqueue(std::function<void()> job) override;

  // Called once the accept loop has ended: runs the queued jobs and joins every worker.
  void shutdown() override;

 private:
  void work();

  const std::size_t maxThreads_;
  std::atomic<std::size_t>& accepted_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t available_ = 0;  // workers not serving a connection, including ones starting up
  bool stopping_ = false;
};

}  // namespace velmar::sim
