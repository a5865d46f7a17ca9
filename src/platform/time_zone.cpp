#include "platform/time_zone.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

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

double TimeZoneBias() {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return 0.0;
  return TimeZoneBiasAt(now);
}

}  // namespace velmar::platform
