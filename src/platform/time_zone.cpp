#include "platform/time_zone.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/date_input.h"

namespace velmar::platform {

double TimeZoneBiasAt(std::int64_t unixSeconds) {
  // localtime_r reads TZ (tzset) and yields the offset in force at that moment; tm_gmtoff is
  // seconds east of UTC, so the bias is its negation. With daylight-saving time in force the
  // offset holds the standard and the daylight part together.
  std::time_t moment = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&moment, &local) == nullptr) return 0.0;
  return -static_cast<double>(local.tm_gmtoff) / 86400.0;
}

std::string FormatIso8601(std::int64_t unixSeconds) {
  std::time_t moment = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&moment, &local) == nullptr) return {};
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long magnitude = std::labs(offsetMinutes);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

namespace {

std::int64_t OffsetAt(std::int64_t unixSeconds) {
  std::time_t moment = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&moment, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace

std::int64_t LocalToUnix(const std::tm& tm) {
  std::int64_t year = tm.tm_year + std::int64_t{1900};
  std::int64_t month = tm.tm_mon;
  year += month >= 0 ? month / 12 : (month - 11) / 12;
  month = ((month % 12) + 12) % 12;
  const std::int64_t asIfUtc =
      (DaysFromCivil(year, static_cast<int>(month) + 1, 1) + (tm.tm_mday - 1)) * 86400 +
      tm.tm_hour * std::int64_t{3600} + tm.tm_min * 60 + tm.tm_sec;
  // The offset near the moment, then the offset at the moment it gives: two steps settle on
  // either side of a change of offset.
  const std::int64_t guess = asIfUtc - OffsetAt(asIfUtc);
  return asIfUtc - OffsetAt(guess);
}

double TimeZoneBias() {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return 0.0;
  return TimeZoneBiasAt(now);
}

}  // namespace velmar::platform
