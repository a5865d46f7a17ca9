#include "platform/date_input.h"

#include "platform/time_zone.h"

#include <ctime>
#include <regex>
#include <string>

namespace velmar::platform {
namespace {

bool ValidFields(const std::tm& tm) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour < 0 || tm.tm_hour > 23 ||
      tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 59)
    return false;
  const int year = tm.tm_year + 1900;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return tm.tm_mday <= (tm.tm_mon == 1 && !leap ? 28 : kDays[tm.tm_mon]);
}

// Local time; daylight-saving time as it was in force then.
std::optional<std::int64_t> FromLocal(std::tm tm) {
  if (!ValidFields(tm)) return std::nullopt;
  return LocalToUnix(tm);
}

std::optional<std::int64_t> ParseIso(const std::string& text) {
  static const std::regex iso(
      R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?(Z|[+-]\d{2}:?\d{2})?$)");
  std::smatch m;
  if (!std::regex_match(text, m, iso)) return std::nullopt;
  auto number = [&m](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
  std::tm tm{};
  tm.tm_year = number(1) - 1900;
  tm.tm_mon = number(2) - 1;
  tm.tm_mday = number(3);
  tm.tm_hour = number(4);
  tm.tm_min = number(5);
  tm.tm_sec = number(6);
  if (!m[7].matched) return FromLocal(tm);
  if (!ValidFields(tm)) return std::nullopt;
  std::int64_t offset = 0;
  const std::string zone = m[7].str();
  if (zone != "Z") {
    const std::string digits = zone.substr(1, 2) + zone.substr(zone.size() - 2);
    const int hours = std::stoi(digits.substr(0, 2)), minutes = std::stoi(digits.substr(2));
    if (hours > 23 || minutes > 59) return std::nullopt;
    offset = (zone[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  }
  return DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 + tm.tm_hour * 3600 +
         tm.tm_min * 60 + tm.tm_sec - offset;
}

// `text` read whole with the strptime `pattern`.
std::optional<std::tm> ReadWith(const std::string& text, const std::string& pattern) {
  std::tm tm{};
  tm.tm_mday = 1;
  const char* end = strptime(text.c_str(), pattern.c_str(), &tm);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return tm;
}

}  // namespace

std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::optional<std::int64_t> ParseUserDateTime(std::string_view typed,
                                              const RegionalSettings& settings) {
  std::string text(typed);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  if (text.empty()) return std::nullopt;
  if (auto t = ParseIso(text)) return t;
  const std::string& date = settings.shortDateFormat;
  for (const std::string& pattern :
       {date + " " + settings.longTimeFormat, date + " %H:%M:%S", date + " %H:%M", date}) {
    if (auto tm = ReadWith(text, pattern)) return FromLocal(*tm);
  }
  return std::nullopt;
}

}  // namespace velmar::platform
