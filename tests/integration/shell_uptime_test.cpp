#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "shell_fixture.h"
#include "support/fixed_clock.h"

namespace velmar::testing {
namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

class UptimeCommandTest : public CommandSocketTest {
 protected:
  void TearDown() override {
    CommandSocketTest::TearDown();
    platform::OverrideClock(nullptr);
    shell::SetUptimeStart(savedStart_);
  }

  // Starts the server with its kernel started at `kernelStart` (Unix seconds) and fixes the
  // clock at `nowSeconds`, with the host up for `hostUpMs`.
  void StartAt(std::int64_t kernelStart, std::int64_t nowSeconds, std::uint64_t hostUpMs) {
    platform::OverrideClock(std::make_shared<FixedClock>(hostUpMs, nowSeconds * 1000));
    sim::SimulatorOptions options;
    options.treeJson = R"({"objects":[]})";
    options.kernelStart = kernelStart;
    Start(std::move(options));
  }

  const std::int64_t savedStart_ = shell::UptimeStart();
};

TEST_F(UptimeCommandTest, ShowsServerServiceAndHostUptimes) {
  const std::int64_t now = 1800000000;
  StartAt(now - (2 * kDay + 3 * kHour + 4 * kMinute), now, (31 * kDay + 2 * kHour) * 1000);
  shell::SetUptimeStart(now * 1000 - 59999);  // not yet a minute
  EXPECT_EQ(Run("uptime"),
            "IPS: 2 days, 3 hours, 4 minutes\r\n"
            "Velmar: 0 minutes\r\n"
            "Velmar Server: 31 days, 2 hours, 0 minutes\r\n");
  EXPECT_EQ(TakeRequests(), std::vector<std::string>{"IPS_GetKernelStartTime[]"});

  // Anything after the command word is ignored.
  shell::SetUptimeStart((now - kDay - 5 * kMinute) * 1000);
  EXPECT_EQ(Run("UPTIME -v please"),
            "IPS: 2 days, 3 hours, 4 minutes\r\n"
            "Velmar: 1 days, 5 minutes\r\n"
            "Velmar Server: 31 days, 2 hours, 0 minutes\r\n");
}

TEST_F(UptimeCommandTest, ServerStartIsAnUnsigned32BitTime) {
  // A start after January 2038 no longer fits a signed 32-bit number.
  const std::int64_t start = (std::int64_t{1} << 31) + 100;
  StartAt(start, start + kHour, 0);
  shell::SetUptimeStart((start + kHour) * 1000);
  EXPECT_EQ(Run("uptime"),
            "IPS: 1 hours, 0 minutes\r\n"
            "Velmar: 0 minutes\r\n"
            "Velmar Server: 0 minutes\r\n");
}

TEST_F(UptimeCommandTest, ServerFailureEndsTheConnectionBeforeAnyLine) {
  StartAt(1800000000, 1800000000, 0);
  server_->setFault("IPS_GetKernelStartTime", sim::Fault{sim::FaultKind::HttpStatus, 500});
  EXPECT_EQ(RunUntilClosed("uptime"), "");
}

}  // namespace
}  // namespace velmar::testing
