#include "platform/time_zone.h"

#include <ctime>

namespace velmar::platform {

double TimeZoneBias() {
  // localtime_r reads TZ (tzset) and yields the offset in force right now; tm_gmtoff is
  // seconds east of UTC, so the bias is its negation. With daylight-saving time in force the
  // offset already holds the standard and the daylight part together.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return 0.0;
  return -static_cast<double>(local.tm_gmtoff) / 86400.0;
}

}  // namespace velmar::platform
