#pragma once

#include <memory>
#include <optional>
#include <string>

namespace velmar::platform {

// The host's regional formats for dates, times and decimal numbers, as the shell shows and
// reads them. The date and time formats are strftime patterns ("%d.%m.%Y", "%H:%M:%S").
// Texts are UTF-8.
struct RegionalSettings {
  std::string shortDateFormat = "%Y-%m-%d";
  std::string longTimeFormat = "%H:%M:%S";
  std::string decimalSeparator = ".";
  // The locale the patterns are expanded in (month names, AM/PM); empty means "C".
  std::string localeName;
};

// The settings that the process's environment selects (LC_ALL, LC_TIME, LC_NUMERIC, LANG),
// read afresh on every call. The "C" and "POSIX" locales, and a locale that is not installed, give
// the defaults of RegionalSettings: ISO dates, a 24-hour clock and a decimal point.
RegionalSettings HostRegionalSettings();

// The settings in force: those set with OverrideRegionalSettings, else the host's.
RegionalSettings CurrentRegionalSettings();

// Replaces the host's settings process-wide (tests, or an operator's choice); nothing
// restores the host's.
void OverrideRegionalSettings(std::optional<RegionalSettings> settings);

// `dateTime` (days since 1899-12-30 00:00, local time) as text: the short date, one blank and
// the long time; a time of day of exactly midnight gives the date alone. Negative values
// count the days backwards and the time of day forwards from the date's midnight, as the
// date-time type defines them. Times are rounded to the millisecond.
std::string FormatDateTime(double dateTime, const RegionalSettings& settings);

// The same with the settings in force.
std::string FormatDateTime(double dateTime);

// `dateTime` with the strftime `pattern` ("%H:%M"), in the settings' locale; empty outside any
// calendar.
std::string FormatDateTimeWith(double dateTime, const std::string& pattern,
                               const RegionalSettings& settings);

}  // namespace velmar::platform
