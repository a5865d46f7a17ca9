#include "platform/clock.h"
#include "platform/time_zone.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace velmar::platform {
namespace {

class FixedClock final : public Clock {
 public:
  FixedClock(std::uint64_t tick, std::int64_t unixMs) : tick_(tick), unixMs_(unixMs) {}
  std::uint64_t TickCount64() const override { return tick_; }
  std::int64_t UnixMilliseconds() const override { return unixMs_; }

 private:
  std::uint64_t tick_;
  std::int64_t unixMs_;
};

// Sets TZ for one test and restores the previous value afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(PlatformClock, TickCountFollowsTheTimeSinceBoot) {
  double uptimeSeconds = 0;
  std::ifstream("/proc/uptime") >> uptimeSeconds;
  ASSERT_GT(uptimeSeconds, 0.0);
  const std::uint64_t tick = SystemClock().TickCount64();
  // /proc/uptime is read first, so the tick count can only be later; allow a generous margin.
  EXPECT_GE(static_cast<double>(tick), uptimeSeconds * 1000.0 - 1000.0);
  EXPECT_LE(static_cast<double>(tick), uptimeSeconds * 1000.0 + 60000.0);
  EXPECT_LE(tick, SystemClock().TickCount64());
}

TEST(PlatformClock, WallClockIsUnixMilliseconds) {
  const std::int64_t before = static_cast<std::int64_t>(::time(nullptr)) * 1000;
  const std::int64_t now = SystemClock().UnixMilliseconds();
  EXPECT_GE(now, before);
  EXPECT_LT(now, before + 60000);
}

TEST(PlatformClock, OverrideReplacesAndRestoresTheClock) {
  // 2^32 + 5 ms: the 32-bit count wraps.
  OverrideClock(std::make_shared<FixedClock>((std::uint64_t{1} << 32) + 5, 1234567));
  EXPECT_EQ(GetTickCount64(), (std::uint64_t{1} << 32) + 5);
  EXPECT_EQ(GetTickCount(), 5u);
  EXPECT_EQ(UnixMillisecondsNow(), 1234567);
  OverrideClock(nullptr);
  EXPECT_EQ(CurrentClock().get(), &SystemClock());
  EXPECT_NE(GetTickCount64(), (std::uint64_t{1} << 32) + 5);
}

TEST(PlatformClock, LocalDateTimeUsesTheZoneRulesOfTheInstant) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  // 1970-01-01 00:00 UTC is 01:00 in winter time.
  EXPECT_DOUBLE_EQ(UnixMillisecondsToLocalDateTime(0), 25569.0 + 1.0 / 24);
  // 2024-07-01 12:00 UTC is 14:00 in summer time; 2024-07-01 is day 45474.
  EXPECT_NEAR(UnixMillisecondsToLocalDateTime(1719835200000), 45474.0 + 14.0 / 24, 1e-9);
  // Milliseconds are kept, also before 1970.
  EXPECT_NEAR(UnixMillisecondsToLocalDateTime(-1500), 25569.0 + (3600.0 - 1.5) / 86400, 1e-9);

  OverrideClock(std::make_shared<FixedClock>(0, 1719835200000));
  EXPECT_NEAR(LocalDateTimeNow(), 45474.0 + 14.0 / 24, 1e-9);
  OverrideClock(nullptr);
}

TEST(PlatformClock, Iso8601TimesCarryTheOffsetOfTheirMoment) {
  const struct {
    const char* tz;
    std::int64_t unixSeconds;
    const char* text;
  } cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1796994192, "2026-12-11T14:03:12+01:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1719835200, "2024-07-01T14:00:00+02:00"},
      {"UTC0", 0, "1970-01-01T00:00:00+00:00"},
      {"NST3:30NDT,M3.2.0,M11.1.0", 1796994192, "2026-12-11T09:33:12-03:30"},
      {"UTC0", -1, "1969-12-31T23:59:59+00:00"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone tz(c.tz);
    EXPECT_EQ(FormatIso8601(c.unixSeconds), c.text) << c.tz;
  }
  EXPECT_EQ(FormatIso8601(std::int64_t{1} << 62), "");  // no calendar holds that year
}

}  // namespace
}  // namespace velmar::platform
