// The history charts as a user sees them, drawn from fixed records: the rows, the axes and the
// summary, at the narrowest width and the widest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "shell/history_views.h"
#include "support/time_zone.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kT = 1800000000;  // 2027-01-15 08:00:00 UTC
const HistoryRange kHour{kT, kT + 3600};

LoggedValue Record(std::int64_t offset, double value, std::int64_t duration = 0) {
  return {kT + offset, duration, api::JsonRef::MakeDouble(value)};
}

HistoryTarget Temperature(double current) {
  HistoryTarget target;
  target.id = 12345;
  target.name = u"Temp";
  target.type = 2;
  target.value = api::JsonRef::MakeDouble(current);
  target.format = {u"", u" °C"};
  return target;
}

std::vector<std::string> Lines(const HistoryTarget& target, HistoryView view, HistoryRange range,
                               const HistoryData& data, std::int32_t width) {
  std::vector<std::string> lines;
  for (const auto& line : HistoryLines(target, view, range, data, kT + 3600, width, {}))
    lines.push_back(text::Utf16ToUtf8(line));
  return lines;
}

class HistoryChart : public ::testing::Test {
 protected:
  testing::ScopedTimeZone utc_{"UTC0"};
};

TEST_F(HistoryChart, RisingValuesFillTheirColumnsAtTheNarrowestWidth) {
  HistoryData data;
  // Newest first: 10 at 08:00, rising by 1 every 10 minutes to 15.
  for (int i = 5; i >= 0; --i) data.logged.push_back(Record(600 * i, 10 + i));
  EXPECT_EQ(Lines(Temperature(15), HistoryView::Chart, kHour, data, 20),
            (std::vector<std::string>{
                "Temp (12345),",        "from 2027-01-15",      "08:00:00 to",
                "2027-01-15 09:00:00,", "raw values",           "15 °C ┤           ██",
                "      │          ▃██", "14 °C ┤         ████", "      │        ▅████",
                "13 °C ┤       ██████", "      │      ███████", "12 °C ┤    ▃████████",
                "      │    █████████", "11 °C ┤  ▅██████████", "      │▁▁███████████",
                "      └┬────────────", "       08:00",         "Min 10 °C at",
                "2027-01-15 08:00:00,", "max 15 °C at",         "2027-01-15 08:50:00,",
                "mean 12.5 °C,",        "last 15 °C.",
            }));
}

TEST_F(HistoryChart, FlatNegativeGapsAndASinglePoint) {
  struct Case {
    const char* name;
    std::vector<LoggedValue> logged;
    std::optional<LoggedValue> before;
    std::vector<std::string> chart;  // the ten rows and the time axis
  };
  // clang-format off
  const Case cases[] = {
      // Set before the range, it holds all through it, in the middle of the scale.
      {"flat", {}, Record(-7200, 21.5), {
           "24 °C ┤                                 ",
           "      │                                 ",
           "23 °C ┤                                 ",
           "      │                                 ",
           "22 °C ┤                                 ",
           "      │█████████████████████████████████",
           "21 °C ┤█████████████████████████████████",
           "      │█████████████████████████████████",
           "20 °C ┤█████████████████████████████████",
           "      │█████████████████████████████████",
           "      └┬───────────────┬────────────────",
           "       08:00         08:30",}},
      // Below zero the columns still grow from the bottom of the scale, which lies two rows
      // below the lowest value (labels stay round).
      {"negative", {Record(2400, -2.5), Record(1200, -10), Record(0, -5)}, std::nullopt, {
           " -2 °C ┤                      ▄▄▄▄▄▄▄▄▄▄",
           "       │                      ██████████",
           " -4 °C ┤                      ██████████",
           "       │██████████           ███████████",
           " -6 °C ┤██████████▃          ███████████",
           "       │███████████          ███████████",
           " -8 °C ┤███████████          ███████████",
           "       │███████████          ███████████",
           "-10 °C ┤████████████████████████████████",
           "       │████████████████████████████████",
           "       └┬───────────────┬───────────────",
           "        08:00         08:30",}},
      // A value held for a quarter of an hour, then nothing was logged until the next one:
      // the lowest value shows as a sliver, the gap as nothing.
      {"gap", {Record(1800, 2), Record(0, 1, 900)}, std::nullopt, {
           "  2 °C ┤                ████████████████",
           "       │                ████████████████",
           "1.8 °C ┤                ████████████████",
           "       │                ████████████████",
           "1.6 °C ┤                ████████████████",
           "       │                ████████████████",
           "1.4 °C ┤                ████████████████",
           "       │                ████████████████",
           "1.2 °C ┤                ████████████████",
           "       │▁▁▁▁▁▁▁▁        ████████████████",
           "       └┬───────────────┬───────────────",
           "        08:00         08:30",}},
      // One record ten minutes before the end: empty until then.
      {"one point", {Record(3000, 5)}, std::nullopt, {
           "5.4 °C ┤                                ",
           "       │                                ",
           "5.2 °C ┤                                ",
           "       │                                ",
           "  5 °C ┤                          ██████",
           "       │                          ██████",
           "4.8 °C ┤                          ██████",
           "       │                          ██████",
           "4.6 °C ┤                          ██████",
           "       │                          ██████",
           "       └┬───────────────┬───────────────",
           "        08:00         08:30",}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HistoryData data;
    data.logged = c.logged;
    data.before = c.before;
    const auto lines = Lines(Temperature(0), HistoryView::Chart, kHour, data, 40);
    ASSERT_EQ(lines.size(), 19u);
    EXPECT_EQ(lines[3], "raw values");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 16), c.chart);
  }
}

TEST_F(HistoryChart, AThousandColumnsWideNothingBeyond) {
  HistoryData data;
  for (int i = 59; i >= 0; --i) data.logged.push_back(Record(60 * i, i % 7));
  const auto lines =
      HistoryLines(Temperature(3), HistoryView::Chart, kHour, data, kT + 3600, 1000, {});
  ASSERT_GE(lines.size(), 13u);
  for (const auto& line : lines) EXPECT_LE(line.size(), 1000u) << text::Utf16ToUtf8(line);
  // Ten rows and the axis span the whole width; a tick and a time every minute.
  for (std::size_t i = 1; i <= 11; ++i) EXPECT_EQ(lines[i].size(), 1000u) << i;
  EXPECT_EQ(std::count(lines[11].begin(), lines[11].end(), u'┬'), 60);
  EXPECT_NE(text::Utf16ToUtf8(lines[12]).find("08:58  "), std::string::npos);
}

TEST(HistoryTimeTicks, RoundLocalTimesAsManyAsFit) {
  using Ticks = std::vector<std::int64_t>;
  {
    testing::ScopedTimeZone utc("UTC0");
    // A year: the first of every third month; a month: Mondays.
    EXPECT_EQ(TimeTicks(1768003200, 1797724800, 5), (Ticks{1775001600, 1782864000, 1790812800}));
    EXPECT_EQ(TimeTicks(1793491200, 1796083200, 5),
              (Ticks{1793577600, 1794182400, 1794787200, 1795392000, 1795996800}));
    EXPECT_EQ(TimeTicks(1793491200, 1796083200, 0), Ticks{});
  }
  // The day daylight-saving time begins in Central Europe has 23 hours: the ticks stay on the
  // local clock's round hours.
  testing::ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(TimeTicks(1806188400, 1806271200, 5),
            (Ticks{1806188400, 1806206400, 1806228000, 1806249600, 1806271200}));
}

}  // namespace
}  // namespace velmar::shell
