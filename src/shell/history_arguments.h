// The command line of `history`: the variable, the span or the dates that bound it, and the
// options, read and checked before anything is asked of the server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/regional.h"

namespace velmar::shell {

inline constexpr std::int64_t kDefaultHistorySpan = 86400;

struct HistoryArguments {
  std::u16string object;                 // the variable's ID or name, as typed
  std::optional<std::int64_t> span;      // seconds: "1h", "24h", "7d", "30d", "1y", "2w"
  std::optional<std::int64_t> from, to;  // Unix seconds: -from DATE, -to DATE
  bool list = false;                     // -list: a table of the records
};

// Either what was asked for or the message that says what is wrong with it.
using ParsedHistoryArguments = std::variant<HistoryArguments, std::u16string>;

// Reads `commandline` ("history 12345 7d -list", first word included, -json taken out before).
// Dates are read in the regional format of `settings` or as ISO 8601
// (platform::ParseUserDateTime); a date with a time is one argument in double quotes, or two
// words after -from or -to.
ParsedHistoryArguments ParseHistoryArguments(std::u16string_view commandline,
                                             const platform::RegionalSettings& settings);

struct HistoryRange {
  std::int64_t from, to;  // Unix seconds
};

// The range the arguments name at `now`: the span up to now; from -from on (for the span, or
// up to now); the span up to -to; or -from to -to. The message when it is empty.
std::variant<HistoryRange, std::u16string> ResolveHistoryRange(
    const HistoryArguments& arguments, std::int64_t now,
    const platform::RegionalSettings& settings);

// The usage line that the messages end with.
inline constexpr std::u16string_view kHistoryUsage =
    u"Usage: history ID|name [1h|24h|7d|30d|1y] [-from DATE] [-to DATE] [-list] [-json]";

}  // namespace velmar::shell
