// Switching the service off while sessions have several requests in flight at once.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/json_rpc.h"
#include "app_fault_fixture.h"

namespace velmar::app::faults {
namespace {

class InFlightTest : public ServiceTest {
 protected:
  void SetUp() override {
    api::SetConnectionUse({.reuse = true, .parallel = 4});
    ServiceTest::SetUp();
  }
  void TearDown() override {
    ServiceTest::TearDown();
    api::SetConnectionUse({});
  }
};

TEST_F(InFlightTest, SwitchOffAbortsRequestsOnEveryConnectionOfEverySession) {
  constexpr int kSessions = 3;
  std::vector<std::unique_ptr<Shell>> shells;
  for (int i = 0; i < kSessions; ++i) shells.push_back(std::make_unique<Shell>(port()));
  sim::Fault forever{sim::FaultKind::Delay};
  forever.delay = 60s;
  host_->SetFault("IPS_GetObject", forever);
  for (auto& shell : shells) shell->client().send("ls\r\n");
  // The root has five children: four requests in flight per session.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (host_->Requests("IPS_GetObject") < 4 * kSessions &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);  // polling the server's record, bounded by the deadline
  ASSERT_EQ(host_->Requests("IPS_GetObject"), 4 * kSessions);

  const auto start = std::chrono::steady_clock::now();
  controller_->TimerShutdownTimer();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("switch-off with %d requests in flight took %.1f ms\n", 4 * kSessions, took.count());
  EXPECT_LT(took, 5000ms);  // a guard against hanging, not a measure of speed

  for (auto& shell : shells) EXPECT_EQ(shell->client().readToEnd(), "");
  EXPECT_EQ(controller_->listener().connectionCount(), 0u);
  EXPECT_EQ(CountResources().threads, baseline_.threads);
}

}  // namespace
}  // namespace velmar::app::faults
