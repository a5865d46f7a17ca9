#include <gtest/gtest.h>

#include "shell/uptime.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kMinute = 60000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

TEST(ShellUptime, MakeUptimeStringLeavesOutZeroDaysAndHours) {
  EXPECT_EQ(MakeUptimeString(2, 3, 4), u"2 days, 3 hours, 4 minutes");
  EXPECT_EQ(MakeUptimeString(0, 0, 0), u"0 minutes");
  EXPECT_EQ(MakeUptimeString(1, 0, 7), u"1 days, 7 minutes");
  EXPECT_EQ(MakeUptimeString(0, 1, 0), u"1 hours, 0 minutes");
}

TEST(ShellUptime, DurationsSplitIntoDaysHoursAndMinutes) {
  struct Case {
    std::int64_t ms;
    std::u16string text;
  };
  const Case cases[] = {
      {0, u"0 minutes"},
      {kMinute - 1, u"0 minutes"},  // seconds are dropped, not rounded
      {kDay + 5 * kMinute, u"1 days, 5 minutes"},
      {31 * kDay + 2 * kHour, u"31 days, 2 hours, 0 minutes"},
      {2 * kDay + 3 * kHour + 4 * kMinute + 59999, u"2 days, 3 hours, 4 minutes"},
      // A start in the future: whole days toward zero, the rest without a sign.
      {-(2 * kHour + 30 * kMinute), u"2 hours, 30 minutes"},
      {-(kDay + kHour), u"-1 days, 1 hours, 0 minutes"},
  };
  for (const Case& c : cases) EXPECT_EQ(MakeUptimeString(c.ms), c.text) << c.ms;
}

}  // namespace
}  // namespace velmar::shell
