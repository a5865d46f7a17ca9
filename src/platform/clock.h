#pragma once

#include <cstdint>
#include <memory>

namespace velmar::platform {

// The two clocks the service reads: the time since the host started and the wall clock.
// Commands read them through CurrentClock(), so tests can put a fixed clock in place and
// check uptimes and elapsed times without waiting.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since the host started, time spent suspended included.
  virtual std::uint64_t TickCount64() const = 0;
  // The wall clock: milliseconds since 1970-01-01 00:00:00 UTC.
  virtual std::int64_t UnixMilliseconds() const = 0;
};

// The host's clocks (CLOCK_BOOTTIME and CLOCK_REALTIME).
const Clock& SystemClock();

// The clock in force: the one set with OverrideClock, else the host's. Safe to call from any
// thread while another overrides it; the caller keeps the clock it got alive.
std::shared_ptr<const Clock> CurrentClock();

// Puts `clock` in place process-wide; an empty pointer restores the host's clocks.
void OverrideClock(std::shared_ptr<const Clock> clock);

// Milliseconds since the host started, from the clock in force.
std::uint64_t GetTickCount64();
// The same as an unsigned 32-bit count that wraps after about 49.7 days.
std::uint32_t GetTickCount();
// The wall clock in force, in milliseconds since 1970-01-01 00:00:00 UTC.
std::int64_t UnixMillisecondsNow();

// The instant `unixMilliseconds` as a local date-time: days since 1899-12-30 00:00 local time,
// with the host's time-zone rules for that instant (daylight-saving time included).
double UnixMillisecondsToLocalDateTime(std::int64_t unixMilliseconds);
// The wall clock in force as a local date-time.
double LocalDateTimeNow();

}  // namespace velmar::platform
