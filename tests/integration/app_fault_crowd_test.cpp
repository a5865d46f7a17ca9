// Many connections meeting a failing or hanging server at the same moment.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app_fault_fixture.h"

namespace velmar::app::faults {
namespace {

constexpr int kCrowd = 16;

using CrowdTest = ServiceTest;

TEST_F(CrowdTest, ManyConnectionsFailingAtOnceLeaveNothingBehind) {
  Shell other(port());
  const CommandResult listing = other.Run("ls");
  const Resources idle = CountResources();

  std::vector<std::unique_ptr<Shell>> crowd;
  for (int i = 0; i < kCrowd; ++i) crowd.push_back(std::make_unique<Shell>(port()));
  host_->SetFault("", sim::Fault{sim::FaultKind::DropConnection});
  for (auto& shell : crowd) shell->client().send("ls\r\n");
  for (auto& shell : crowd) EXPECT_EQ(shell->client().readToEnd(), "");
  crowd.clear();
  host_->ClearFaults();

  EXPECT_EQ(other.Run("ls"), listing);
  EXPECT_SETTLES_AT(idle);
}

TEST_F(CrowdTest, SwitchOffAbortsEveryRequestWaitingForTheServer) {
  sim::Fault forever{sim::FaultKind::Delay};
  forever.delay = 60s;
  host_->SetFault("IPS_GetChildrenIDs", forever);

  std::vector<std::unique_ptr<Shell>> crowd;
  for (int i = 0; i < kCrowd; ++i) crowd.push_back(std::make_unique<Shell>(port()));
  for (auto& shell : crowd) shell->client().send("ls\r\n");
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (host_->Requests("IPS_GetChildrenIDs") < kCrowd &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);  // polling the server's record, bounded by the deadline
  }
  ASSERT_EQ(host_->Requests("IPS_GetChildrenIDs"), kCrowd);

  const auto start = std::chrono::steady_clock::now();
  controller_->TimerShutdownTimer();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("switch-off with %d requests in flight took %.1f ms\n", kCrowd, took.count());
  EXPECT_LT(took, 5000ms);  // a guard against hanging, not a measure of speed

  for (auto& shell : crowd) EXPECT_EQ(shell->client().readToEnd(), "");
  EXPECT_EQ(controller_->listener().connectionCount(), 0u);
  EXPECT_EQ(CountResources().threads, baseline_.threads);
}

}  // namespace
}  // namespace velmar::app::faults
