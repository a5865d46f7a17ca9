#include "platform/time_zone.h"

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

double TimeZoneBias() {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return 0.0;
  return TimeZoneBiasAt(now);
}

}  // namespace velmar::platform
