#include "platform/regional.h"

#include <langinfo.h>
#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace velmar::platform {

namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
// Day number of 1970-01-01 in the date-time type (days since 1899-12-30).
constexpr std::int64_t kUnixEpochDay = 25'569;
// Far beyond any real date, yet small enough that the millisecond count fits 64 bits.
constexpr double kMaxDays = 1e11;

// The locale name that the environment selects for one category, as setlocale(cat, "")
// would: LC_ALL, then the category's own variable, then LANG, then "C".
std::string EnvLocaleName(const char* categoryVariable) {
  for (const char* name : {"LC_ALL", categoryVariable, "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

bool IsCLocale(const std::string& name) {
  return name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

// The locales opened so far, by name (nullptr for a name that is not installed). Few distinct
// names ever occur, so they stay open until the process ends and are released then.
class LocaleCache {
 public:
  LocaleCache() = default;
  LocaleCache(const LocaleCache&) = delete;
  LocaleCache& operator=(const LocaleCache&) = delete;
  ~LocaleCache() {
    for (auto& [name, loc] : cache_) {
      if (loc != static_cast<locale_t>(0)) freelocale(loc);
    }
  }

  // The locale for `name` (the empty name is "C"), or nullptr when it is not installed.
  locale_t Get(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(name);
    if (it != cache_.end()) return it->second;
    locale_t loc =
        newlocale(LC_ALL_MASK, name.empty() ? "C" : name.c_str(), static_cast<locale_t>(0));
    cache_.emplace(name, loc);
    return loc;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, locale_t> cache_;
};

locale_t CachedLocale(const std::string& name) {
  static LocaleCache cache;
  return cache.Get(name);
}

// Text from nl_langinfo that is usable as it stands: not empty, and ASCII unless the locale
// encodes its texts in UTF-8 (the shell sends UTF-8).
std::optional<std::string> LangInfo(nl_item item, locale_t loc) {
  const char* value = nl_langinfo_l(item, loc);
  if (value == nullptr || *value == '\0') return std::nullopt;
  std::string text(value);
  const char* codeset = nl_langinfo_l(CODESET, loc);
  bool utf8 = codeset != nullptr && std::string(codeset) == "UTF-8";
  for (unsigned char c : text) {
    if (c > 127 && !utf8) return std::nullopt;
  }
  return text;
}

RegionalSettings ReadHostSettings() {
  RegionalSettings settings;
  std::string timeLocale = EnvLocaleName("LC_TIME");
  if (!IsCLocale(timeLocale)) {
    if (locale_t loc = CachedLocale(timeLocale)) {
      auto date = LangInfo(D_FMT, loc);
      auto time = LangInfo(T_FMT, loc);
      if (date && time) {
        settings.shortDateFormat = *date;
        settings.longTimeFormat = *time;
        settings.localeName = timeLocale;
      }
    }
  }
  std::string numericLocale = EnvLocaleName("LC_NUMERIC");
  if (!IsCLocale(numericLocale)) {
    if (locale_t loc = CachedLocale(numericLocale)) {
      if (auto radix = LangInfo(RADIXCHAR, loc)) settings.decimalSeparator = *radix;
    }
  }
  return settings;
}

std::mutex overrideMutex;
std::optional<RegionalSettings> overrideSettings;

// Civil date of a day count relative to 1970-01-01 (proleptic Gregorian calendar).
struct CivilDate {
  std::int64_t year;
  int month;  // 1..12
  int day;    // 1..31
};

CivilDate CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool IsLeapYear(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DayOfYear(const CivilDate& date) {
  static constexpr int kCumulative[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int result = kCumulative[date.month - 1] + date.day - 1;
  if (date.month > 2 && IsLeapYear(date.year)) ++result;
  return result;
}

std::string Strftime(const std::string& format, const std::tm& tm, locale_t loc) {
  if (format.empty()) return {};
  std::vector<char> buffer(128);
  while (buffer.size() <= 65536) {
    std::size_t n = strftime_l(buffer.data(), buffer.size(), format.c_str(), &tm, loc);
    if (n > 0) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 4);
  }
  return {};  // a pattern whose expansion is empty, or absurdly long
}

}  // namespace

RegionalSettings HostRegionalSettings() {
  return ReadHostSettings();
}

RegionalSettings CurrentRegionalSettings() {
  {
    std::lock_guard<std::mutex> lock(overrideMutex);
    if (overrideSettings) return *overrideSettings;
  }
  return HostRegionalSettings();
}

void OverrideRegionalSettings(std::optional<RegionalSettings> settings) {
  std::lock_guard<std::mutex> lock(overrideMutex);
  overrideSettings = std::move(settings);
}

namespace {

// The broken-down date and time of `dateTime`, and whether its time of day is midnight; no
// value outside any calendar.
std::optional<std::tm> BrokenDown(double dateTime, bool& midnight) {
  if (!std::isfinite(dateTime) || std::fabs(dateTime) > kMaxDays) return std::nullopt;
  // Whole days count towards zero and the time of day is the distance from that day's
  // midnight, so -1.25 is 1899-12-29 06:00.
  const auto ms =
      static_cast<std::int64_t>(std::llround(dateTime * static_cast<double>(kMsPerDay)));
  const std::int64_t day = ms / kMsPerDay;
  const std::int64_t timeOfDay = (ms < 0 ? -ms : ms) % kMsPerDay;

  const std::int64_t unixDay = day - kUnixEpochDay;
  const CivilDate date = CivilFromDays(unixDay);
  std::tm tm{};
  tm.tm_year = static_cast<int>(date.year - 1900);
  tm.tm_mon = date.month - 1;
  tm.tm_mday = date.day;
  tm.tm_yday = DayOfYear(date);
  tm.tm_wday = static_cast<int>(unixDay >= -4 ? (unixDay + 4) % 7 : (unixDay + 5) % 7 + 6);
  const std::int64_t seconds = timeOfDay / 1000;
  tm.tm_hour = static_cast<int>(seconds / 3600);
  tm.tm_min = static_cast<int>(seconds / 60 % 60);
  tm.tm_sec = static_cast<int>(seconds % 60);
  midnight = timeOfDay == 0;
  return tm;
}

locale_t SettingsLocale(const RegionalSettings& settings) {
  locale_t loc = CachedLocale(settings.localeName);
  return loc == static_cast<locale_t>(0) ? CachedLocale("") : loc;
}

}  // namespace

std::string FormatDateTime(double dateTime, const RegionalSettings& settings) {
  bool midnight = false;
  const std::optional<std::tm> tm = BrokenDown(dateTime, midnight);
  if (!tm) return {};
  locale_t loc = SettingsLocale(settings);
  std::string result = Strftime(settings.shortDateFormat, *tm, loc);
  if (!midnight) {
    result += ' ';
    result += Strftime(settings.longTimeFormat, *tm, loc);
  }
  return result;
}

std::string FormatDateTimeWith(double dateTime, const std::string& pattern,
                               const RegionalSettings& settings) {
  bool midnight = false;
  const std::optional<std::tm> tm = BrokenDown(dateTime, midnight);
  return tm ? Strftime(pattern, *tm, SettingsLocale(settings)) : std::string();
}

std::string FormatDateTime(double dateTime) {
  return FormatDateTime(dateTime, CurrentRegionalSettings());
}

}  // namespace velmar::platform
