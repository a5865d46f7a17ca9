#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace velmar::testing {

// Clocks that stand still: the host's time since start and the wall clock, for
// platform::OverrideClock.
class FixedClock final : public platform::Clock {
 public:
  FixedClock(std::uint64_t tick, std::int64_t unixMs) : tick_(tick), unixMs_(unixMs) {}
  std::uint64_t TickCount64() const override { return tick_; }
  std::int64_t UnixMilliseconds() const override { return unixMs_; }

 private:
  std::uint64_t tick_;
  std::int64_t unixMs_;
};

}  // namespace velmar::testing
