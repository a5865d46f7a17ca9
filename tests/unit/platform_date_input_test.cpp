// Dates as users type them: the regional short date with or without a time, and ISO 8601.
#include <gtest/gtest.h>

#include "platform/date_input.h"
#include "support/time_zone.h"

namespace velmar::platform {
namespace {

TEST(ParseUserDateTime, RegionalAndIsoFormsInLocalTimeOrWithAnOffset) {
  testing::ScopedTimeZone zone("VLM-2");  // two hours east of UTC, no daylight-saving time
  const RegionalSettings german{"%d.%m.%Y", "%H:%M:%S", ",", ""};
  const RegionalSettings iso;  // the C locale: ISO dates
  struct Case {
    const char* text;
    const RegionalSettings& settings;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {"24.12.2026", german, 1798063200},
      {"24.12.2026 18:00", german, 1798128000},
      {" 24.12.2026 18:00:30 ", german, 1798128030},
      {"29.02.2024", german, 1709157600},
      {"2026-12-24", german, 1798063200},
      {"2026-12-24", iso, 1798063200},
      {"2026-12-24 18:00", iso, 1798128000},
      {"2026-12-24T18:00:30", german, 1798128030},
      {"2026-12-24T18:00Z", german, 1798135200},
      {"2026-12-24T18:00+01:00", german, 1798131600},
      {"2026-12-24T18:00-0530", german, 1798155000},
      // Not dates.
      {"31.02.2026", german, std::nullopt},
      {"29.02.2025", german, std::nullopt},
      {"2026-13-01", german, std::nullopt},
      {"2026-12-24T24:00", german, std::nullopt},
      {"2026-12-24T18:00+25:00", german, std::nullopt},
      {"24.12.2026 18", german, std::nullopt},
      {"24.12.", german, std::nullopt},
      {"24.12.2026x", german, std::nullopt},
      {"24.12.2026", iso, std::nullopt},
      {"yesterday", german, std::nullopt},
      {"", german, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseUserDateTime(c.text, c.settings), c.expected);
  }
}

}  // namespace
}  // namespace velmar::platform
