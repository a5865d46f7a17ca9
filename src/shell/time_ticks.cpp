// The round times a time axis is marked at: minutes, hours, midnights, Mondays, the first of a
// month or of a year, in local time.
#include <ctime>

#include "platform/date_input.h"
#include "platform/time_zone.h"
#include "shell/chart.h"

namespace velmar::shell {
namespace {

enum class Unit { Second, Day, Week, Month, Year };

struct Step {
  Unit unit;
  std::int64_t count;
  std::int64_t seconds;  // roughly, to know how many ticks a range holds
};

constexpr std::int64_t kDay = 86400;
constexpr Step kSteps[] = {
    {Unit::Second, 60, 60},        {Unit::Second, 300, 300},       {Unit::Second, 600, 600},
    {Unit::Second, 900, 900},      {Unit::Second, 1800, 1800},     {Unit::Second, 3600, 3600},
    {Unit::Second, 7200, 7200},    {Unit::Second, 10800, 10800},   {Unit::Second, 21600, 21600},
    {Unit::Second, 43200, 43200},  {Unit::Day, 1, kDay},           {Unit::Day, 2, 2 * kDay},
    {Unit::Week, 1, 7 * kDay},     {Unit::Week, 2, 14 * kDay},     {Unit::Month, 1, 30 * kDay},
    {Unit::Month, 3, 91 * kDay},   {Unit::Month, 6, 182 * kDay},   {Unit::Year, 1, 365 * kDay},
    {Unit::Year, 2, 730 * kDay},   {Unit::Year, 5, 1826 * kDay},   {Unit::Year, 10, 3652 * kDay},
    {Unit::Year, 20, 7305 * kDay}, {Unit::Year, 50, 18262 * kDay}, {Unit::Year, 100, 36525 * kDay},
};

std::tm Local(std::int64_t t) {
  const std::time_t at = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&at, &tm);
  return tm;
}

std::int64_t FromLocal(const std::tm& tm) {
  return platform::LocalToUnix(tm);
}

// Days since 1970-01-01 of a local date, to number days and weeks evenly.
std::int64_t DayNumber(const std::tm& tm) {
  return platform::DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

bool Divides(std::int64_t count, std::int64_t n) {
  return ((n % count) + count) % count == 0;
}

// The first local midnight at or after `t`.
std::tm MidnightFrom(std::int64_t t) {
  std::tm tm = Local(t);
  if (tm.tm_hour != 0 || tm.tm_min != 0 || tm.tm_sec != 0) ++tm.tm_mday;
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  std::int64_t at = FromLocal(tm);
  return Local(at);
}

// The first tick of `step` at or after `t`.
std::int64_t AlignUp(const Step& step, std::int64_t t) {
  if (step.unit == Unit::Second) {
    // The next round time of the local clock, which a change to or from daylight-saving
    // time moves by an hour against the seconds that pass.
    // Seconds beyond their range would count as seconds passed, so the round time is given
    // as hours, minutes and seconds, or as the next day.
    std::tm tm = Local(t);
    const std::int64_t intoDay = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    const std::int64_t round = (intoDay + step.count - 1) / step.count * step.count;
    if (round >= 86400) ++tm.tm_mday;
    tm.tm_hour = static_cast<int>(round % 86400 / 3600);
    tm.tm_min = static_cast<int>(round % 3600 / 60);
    tm.tm_sec = static_cast<int>(round % 60);
    const std::int64_t local = FromLocal(tm);
    return local >= t ? local : t + (step.count - intoDay % step.count) % step.count;
  }
  std::tm tm = MidnightFrom(t);
  switch (step.unit) {
    case Unit::Day:
      while (!Divides(step.count, DayNumber(tm))) ++tm.tm_mday;
      break;
    case Unit::Week:
      tm.tm_mday += (8 - tm.tm_wday) % 7;  // on to a Monday
      // 1970-01-05 was a Monday.
      while (!Divides(step.count, (DayNumber(tm) - 4) / 7)) tm.tm_mday += 7;
      break;
    case Unit::Month:
      if (tm.tm_mday != 1) tm.tm_mday = 1, ++tm.tm_mon;
      tm.tm_year += tm.tm_mon / 12;
      tm.tm_mon %= 12;
      while (!Divides(step.count, tm.tm_mon)) ++tm.tm_mon;
      break;
    case Unit::Year:
      if (tm.tm_mday != 1 || tm.tm_mon != 0) tm.tm_mday = 1, tm.tm_mon = 0, ++tm.tm_year;
      while (!Divides(step.count, tm.tm_year + 1900)) ++tm.tm_year;
      break;
    case Unit::Second:
      break;
  }
  return FromLocal(tm);
}

}  // namespace

std::vector<std::int64_t> TimeTicks(std::int64_t from, std::int64_t to, std::int32_t most) {
  std::vector<std::int64_t> ticks;
  if (most <= 0 || to <= from) return ticks;
  for (const Step& step : kSteps) {
    if ((to - from) / step.seconds + 1 > most) continue;
    for (std::int64_t t = AlignUp(step, from); t <= to;) {
      ticks.push_back(t);
      const std::int64_t next = AlignUp(step, t + 1);
      if (static_cast<std::int32_t>(ticks.size()) > most || next <= t) break;
      t = next;
    }
    if (static_cast<std::int32_t>(ticks.size()) <= most) return ticks;
    ticks.clear();
  }
  return ticks;
}

}  // namespace velmar::shell
