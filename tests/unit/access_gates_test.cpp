// The gates in front of a login: the queue of password checks and the count of connections
// that have not logged in yet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "access/password_checks.h"
#include "access/unauthenticated_connections.h"

namespace velmar::access {
namespace {

using namespace std::chrono_literals;

// Checks that hold their place until the test lets them finish, one at a time.
class HeldChecks {
 public:
  // The check of number `n`: says it has started, then waits for its release.
  std::function<void()> Check(int n) {
    return [this, n] {
      std::unique_lock lock(mutex_);
      started_.push_back(n);
      peak_ = std::max(peak_, ++running_);
      changed_.notify_all();
      changed_.wait(lock, [&] { return released_ > 0; });
      --released_;
      --running_;
    };
  }
  void ReleaseOne() { Release(1); }
  void Release(int count) {
    std::lock_guard lock(mutex_);
    released_ += count;
    changed_.notify_all();
  }
  // Waits (bounded) until `count` checks have started.
  bool AwaitStarted(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return started_.size() >= count; });
  }
  std::vector<int> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  int peak() {
    std::lock_guard lock(mutex_);
    return peak_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> started_;
  int running_ = 0;
  int peak_ = 0;
  int released_ = 0;
};

// Waits (bounded, without sleeping) until `checks` has `count` checks waiting.
bool AwaitWaiting(const PasswordChecks& checks, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (checks.Waiting() != count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

const auto kWanted = [] { return true; };

TEST(PasswordChecksTest, AtMostTheRunningLimitCheckAtOnceAndTheRestWaitInTurn) {
  PasswordChecks checks({2, 8});
  HeldChecks held;
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  // Whatever fails below, every check is let go and every thread joined.
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    held.Release(100);
    for (auto& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  });
  for (int n = 0; n < 6; ++n) {
    threads.emplace_back([&, n] {
      if (checks.Run(held.Check(n), kWanted) == PasswordChecks::Outcome::kChecked) ++done;
    });
    // One after the other, so that their order of arrival is known.
    if (n < 2) {
      ASSERT_TRUE(held.AwaitStarted(n + 1));
    } else {
      ASSERT_TRUE(AwaitWaiting(checks, n - 1)) << n;
    }
  }
  EXPECT_EQ(held.started().size(), 2u);
  // Each check that ends lets the next in line start, in the order they came.
  for (std::size_t n = 2; n < 6; ++n) {
    held.ReleaseOne();
    ASSERT_TRUE(held.AwaitStarted(n + 1));
    EXPECT_EQ(held.started()[n], static_cast<int>(n));
  }
  held.ReleaseOne();
  held.ReleaseOne();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(done, 6);
  EXPECT_EQ(held.peak(), 2);
}

TEST(PasswordChecksTest, AFullQueueTurnsAwayAndAWaiterNoLongerWantedLeaves) {
  PasswordChecks checks({1, 1});
  HeldChecks held;
  std::atomic<bool> wanted{true};
  std::atomic<int> waiterOutcome{-1};
  std::thread running, waiter;
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    wanted = false;
    held.Release(100);
    for (std::thread* thread : {&running, &waiter}) {
      if (thread->joinable()) thread->join();
    }
  });
  running = std::thread([&] { checks.Run(held.Check(0), kWanted); });
  ASSERT_TRUE(held.AwaitStarted(1));
  waiter = std::thread([&] {
    waiterOutcome = static_cast<int>(checks.Run(held.Check(1), [&] { return wanted.load(); }));
  });
  ASSERT_TRUE(AwaitWaiting(checks, 1));
  bool ran = false;
  EXPECT_EQ(checks.Run([&] { ran = true; }, kWanted), PasswordChecks::Outcome::kBusy);
  EXPECT_FALSE(ran);

  wanted = false;  // its connection has gone
  waiter.join();
  EXPECT_EQ(waiterOutcome, static_cast<int>(PasswordChecks::Outcome::kAbandoned));
  EXPECT_EQ(checks.Waiting(), 0u);
  held.ReleaseOne();
  running.join();
  EXPECT_EQ(held.started(), std::vector<int>{0});

  // A check that fails gives its place back.
  EXPECT_THROW(checks.Run([] { throw std::runtime_error("out of memory"); }, kWanted),
               std::runtime_error);
  EXPECT_EQ(checks.Run([&] { ran = true; }, kWanted), PasswordChecks::Outcome::kChecked);
  EXPECT_TRUE(ran);
}

TEST(UnauthenticatedConnectionsTest, ABoundPerClientUntilTheyLogInOrGo) {
  UnauthenticatedConnections connections(2);
  auto first = connections.Admit("192.0.2.1:1000");
  auto second = connections.Admit("192.0.2.1:1001");
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(connections.Admit("192.0.2.1:1002"));
  EXPECT_TRUE(connections.Admit("192.0.2.2:1000"));  // another client
  EXPECT_EQ(connections.Count("192.0.2.1"), 2u);

  // Logged in, a connection no longer counts, and its end does not count twice.
  connections.Release("192.0.2.1:1000");
  EXPECT_EQ(connections.Count("192.0.2.1"), 1u);
  auto third = connections.Admit("192.0.2.1:1003");
  EXPECT_TRUE(third);
  first.reset();
  EXPECT_EQ(connections.Count("192.0.2.1"), 2u);
  // One that ends without logging in frees its place.
  second.reset();
  EXPECT_EQ(connections.Count("192.0.2.1"), 1u);

  // An IPv6 client is its /64.
  auto a = connections.Admit("[2001:db8::1]:1");
  auto b = connections.Admit("[2001:db8::2]:1");
  EXPECT_FALSE(connections.Admit("[2001:db8::3]:1"));
  EXPECT_TRUE(connections.Admit("[2001:db8:0:1::3]:1"));

  UnauthenticatedConnections unlimited(0);
  std::vector<std::shared_ptr<void>> many;
  for (int i = 0; i < 100; ++i) many.push_back(unlimited.Admit("192.0.2.1:" + std::to_string(i)));
  for (const auto& place : many) EXPECT_TRUE(place);
}

}  // namespace
}  // namespace velmar::access
