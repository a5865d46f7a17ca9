// The command line of history: the forms it takes, the range each names, and every message.
#include <gtest/gtest.h>

#include <string>

#include "shell/history_arguments.h"
#include "support/time_zone.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kNow = 1800000000;        // 2027-01-15 10:00:00 here
constexpr std::int64_t kChristmas = 1798063200;  // 2026-12-24 00:00:00 here
const platform::RegionalSettings kGerman{"%d.%m.%Y", "%H:%M:%S", ",", ""};
const std::string kUsage =
    "Usage: history ID|name [1h|24h|7d|30d|1y] [-from DATE] [-to DATE] [-list] [-json]";
const std::string kDates = " Dates look like 24.12.2026, \"24.12.2026 18:00\" or 2026-12-24T18:00.";

class HistoryArgumentsTest : public ::testing::Test {
 protected:
  testing::ScopedTimeZone zone_{"VLM-2"};  // two hours east of UTC, no daylight-saving time
};

// The range a command line names at kNow, as "from-to" in seconds relative to kNow, or the
// message.
std::string Outcome(const char* commandline) {
  const auto parsed = ParseHistoryArguments(text::Utf8ToUtf16(commandline), kGerman);
  if (const auto* message = std::get_if<std::u16string>(&parsed))
    return text::Utf16ToUtf8(*message);
  const HistoryArguments& arguments = std::get<HistoryArguments>(parsed);
  const auto range = ResolveHistoryRange(arguments, kNow, kGerman);
  if (const auto* message = std::get_if<std::u16string>(&range)) return text::Utf16ToUtf8(*message);
  const HistoryRange r = std::get<HistoryRange>(range);
  return text::Utf16ToUtf8(arguments.object) + (arguments.list ? " list " : " ") +
         std::to_string(r.from - kNow) + ".." + std::to_string(r.to - kNow);
}

TEST_F(HistoryArgumentsTest, SpansDatesAndOptions) {
  const std::string christmas = std::to_string(kChristmas - kNow);
  const std::string evening = std::to_string(kChristmas + 18 * 3600 - kNow);
  struct Case {
    const char* line;
    std::string outcome;
  };
  const Case cases[] = {
      {"history 12345", "12345 -86400..0"},
      {"HISTORY Temperatur 1h", "Temperatur -3600..0"},
      {"history 12345 7D", "12345 -604800..0"},
      {"history 12345 30d -list", "12345 list -2592000..0"},
      {"history 12345 -LIST 1y", "12345 list -31536000..0"},
      {"history 12345 2w", "12345 -1209600..0"},
      {"history \"Temperatur Bad\" 12h", "Temperatur Bad -43200..0"},
      // -from alone runs to now, with a span for the span; -to alone ends the span there.
      {"history 12345 -from 24.12.2026", "12345 " + christmas + "..0"},
      {"history 12345 -from 24.12.2026 18:00", "12345 " + evening + "..0"},
      {"history 12345 -from \"24.12.2026 18:00\" 1h",
       "12345 " + evening + ".." + std::to_string(kChristmas + 19 * 3600 - kNow)},
      {"history 12345 -to 2026-12-24T18:00 7d",
       "12345 " + std::to_string(kChristmas + 18 * 3600 - 7 * 86400 - kNow) + ".." + evening},
      {"history 12345 -from 24.12.2026 -to 2026-12-24T18:00:00+02:00",
       "12345 " + christmas + ".." + evening},
      // Messages.
      {"history", "Variable not specified. " + kUsage},
      {"history \"\"", "Variable not specified. " + kUsage},
      {"history 12345 3x", "Unknown argument: 3x. " + kUsage},
      {"history 12345 -chart", "Unknown argument: -chart. " + kUsage},
      {"history 12345 0h", "Unknown argument: 0h. " + kUsage},
      {"history 12345 101y", "Span too long: 101y (at most 100y)."},
      {"history 12345 1h 2h", "More than one span: 2h. Give one."},
      {"history 12345 -from", "-from needs a date." + kDates},
      {"history 12345 -to yesterday", "Not a date: yesterday." + kDates},
      {"history 12345 -from 31.02.2026", "Not a date: 31.02.2026." + kDates},
      {"history 12345 1h -from 24.12.2026 -to 25.12.2026",
       "A span with both -from and -to: give the one or the other."},
      {"history 12345 -from 25.12.2026 -to 24.12.2026",
       "The start (25.12.2026) must lie before the end (24.12.2026)."},
      {"history 12345 -from 2030-01-01",
       "The start (01.01.2030) must lie before the end (15.01.2027 10:00:00)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Outcome(c.line), c.outcome);
  }
}

}  // namespace
}  // namespace velmar::shell
