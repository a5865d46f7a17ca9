#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/regional.h"

namespace velmar::platform {

// A date and time as a user types it, as Unix seconds: the settings' short date, alone
// (midnight) or followed by a blank and a time in the long time format or as hours and
// minutes ("24.12.2026 18:00"); or ISO 8601: 2026-12-24, 2026-12-24T18:00 or
// 2026-12-24T18:00:30 (a blank may stand for the T), with an optional "Z" or "+hh:mm" offset.
// Local time unless an offset is given. No value for any other text or an impossible date
// (the 31st of February).
std::optional<std::int64_t> ParseUserDateTime(std::string_view text,
                                              const RegionalSettings& settings);

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar); a day of the month
// beyond the month's end counts on into the next.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day);

}  // namespace velmar::platform
