#include "platform/clock.h"

#include <time.h>

#include <mutex>

namespace velmar::platform {
namespace {

std::int64_t ReadMilliseconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class HostClock final : public Clock {
 public:
  // CLOCK_BOOTTIME keeps counting while the host is suspended, as an uptime should.
  std::uint64_t TickCount64() const override {
    return static_cast<std::uint64_t>(ReadMilliseconds(CLOCK_BOOTTIME));
  }
  std::int64_t UnixMilliseconds() const override { return ReadMilliseconds(CLOCK_REALTIME); }
};

// A shared_ptr that does not own the static host clock.
std::shared_ptr<const Clock> HostClockPointer() {
  return std::shared_ptr<const Clock>(std::shared_ptr<const Clock>{}, &SystemClock());
}

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const Clock>& Override() {
  static std::shared_ptr<const Clock> clock;
  return clock;
}

constexpr double kUnixEpochDateTime = 25569.0;  // 1970-01-01 as days since 1899-12-30
constexpr double kMillisecondsPerDay = 86400000.0;

}  // namespace

const Clock& SystemClock() {
  static const HostClock clock;
  return clock;
}

std::shared_ptr<const Clock> CurrentClock() {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  if (Override()) return Override();
  return HostClockPointer();
}

void OverrideClock(std::shared_ptr<const Clock> clock) {
  std::lock_guard<std::mutex> lock(OverrideMutex());
  Override() = std::move(clock);
}

std::uint64_t GetTickCount64() {
  return CurrentClock()->TickCount64();
}

std::uint32_t GetTickCount() {
  return static_cast<std::uint32_t>(GetTickCount64());
}

std::int64_t UnixMillisecondsNow() {
  return CurrentClock()->UnixMilliseconds();
}

double UnixMillisecondsToLocalDateTime(std::int64_t unixMilliseconds) {
  // Floor division, so that instants before 1970 find the right second.
  std::int64_t seconds = unixMilliseconds / 1000;
  if (unixMilliseconds % 1000 < 0) --seconds;
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  long offsetSeconds = 0;
  if (localtime_r(&t, &local) != nullptr) offsetSeconds = local.tm_gmtoff;
  const double localMilliseconds =
      static_cast<double>(unixMilliseconds) + static_cast<double>(offsetSeconds) * 1000.0;
  return kUnixEpochDateTime + localMilliseconds / kMillisecondsPerDay;
}

double LocalDateTimeNow() {
  return UnixMillisecondsToLocalDateTime(UnixMillisecondsNow());
}

}  // namespace velmar::platform
