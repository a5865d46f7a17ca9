// What history reads: the level for each span and width, paging past the server's limit, and
// the values that held over time.
#include <gtest/gtest.h>

#include <vector>

#include "core/error.h"
#include "shell/history_data.h"
#include "shell/history_series.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kHour = 3600, kDay = 86400;

TEST(HistoryLevels, EachSpanGetsAPointPerColumnAndBarsNoMoreThanColumns) {
  using L = AggregationLevel;
  struct Case {
    std::int64_t span;
    std::int32_t columns;
    std::optional<L> chart;
    L bars;
  };
  const Case cases[] = {
      {kHour, 70, std::nullopt, L::Minute},  // less than a minute per column: raw values
      {kDay, 70, L::FiveMinutes, L::Hour},      {7 * kDay, 70, L::Hour, L::Day},
      {30 * kDay, 70, L::Hour, L::Day},         {365 * kDay, 70, L::Day, L::Week},
      {10 * 365 * kDay, 70, L::Month, L::Year}, {kHour, 1000, std::nullopt, L::Minute},
      {kDay, 1000, L::Minute, L::FiveMinutes},  {7 * kDay, 1000, L::FiveMinutes, L::Hour},
      {365 * kDay, 1000, L::Hour, L::Day},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.span) + "s over " + std::to_string(c.columns));
    EXPECT_EQ(ChartLevel(c.span, c.columns), c.chart);
    EXPECT_EQ(BarLevel(c.span, c.columns), c.bars);
  }
}

// A server's archive of records with the given time stamps (newest first), answering as
// AC_GetLoggedValues does: the newest up to `end`, at most 10,000. Each record's value is its
// index, so that every record can be told apart.
class FakeArchive {
 public:
  explicit FakeArchive(std::vector<std::int64_t> newestFirst) : times_(std::move(newestFirst)) {}
  api::JsonRef operator()(std::int64_t end) {
    ++calls;
    api::JsonRef page = api::JsonRef::MakeArray();
    for (std::size_t i = 0; i < times_.size() && page.AsArray()->Length() < kArchivePage; ++i) {
      if (times_[i] > end) continue;
      api::JsonRef record = api::JsonRef::MakeObject();
      record.PutInt(u"TimeStamp", times_[i]);
      record.PutInt(u"Value", static_cast<std::int64_t>(i));
      page.AsArray()->Add(record);
    }
    return page;
  }
  int calls = 0;

 private:
  std::vector<std::int64_t> times_;
};

std::vector<std::int64_t> Values(const Pages& pages) {
  std::vector<std::int64_t> values;
  for (const auto& record : pages.records) values.push_back(record.Get(u"Value").AsInteger());
  return values;
}

TEST(HistoryPaging, PastTheLimitWithoutLosingRecordsThatShareASecond) {
  // 25,000 records a second apart, but the five around each page border share one second.
  std::vector<std::int64_t> times;
  std::int64_t t = 100000;
  for (int i = 0; i < 25000; ++i) {
    const bool border = (i % 10000 >= 9997 && i % 10000 <= 9999) || (i > 0 && i % 10000 <= 1);
    if (!border || i % 10000 == 9997) --t;
    times.push_back(t);
  }
  FakeArchive archive(times);
  const Pages pages = FetchPages(std::ref(archive), 100000, 100000, nullptr);
  EXPECT_EQ(pages.end, PagingEnd::Complete);
  std::vector<std::int64_t> expected(25000);
  for (int i = 0; i < 25000; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(Values(pages), expected);
  EXPECT_EQ(archive.calls, 3);
}

TEST(HistoryPaging, StopsAtTheMostAtTheUsersWishAndWhenASecondHoldsAPage) {
  std::vector<std::int64_t> times;
  for (int i = 0; i < 25000; ++i) times.push_back(100000 - i);
  {
    FakeArchive archive(times);
    const Pages pages = FetchPages(std::ref(archive), 100000, 15000, nullptr);
    EXPECT_EQ(pages.end, PagingEnd::Limited);
    EXPECT_EQ(pages.records.size(), 15000u);
  }
  {
    FakeArchive archive(times);
    const Pages pages = FetchPages(std::ref(archive), 100000, 100000, [] { return true; });
    EXPECT_EQ(pages.end, PagingEnd::Stopped);
    EXPECT_EQ(pages.records.size(), 10000u);
  }
  {
    FakeArchive archive(std::vector<std::int64_t>(10001, 5000));
    const Pages pages = FetchPages(std::ref(archive), 100000, 100000, nullptr);
    EXPECT_EQ(pages.end, PagingEnd::Stuck);
    EXPECT_EQ(pages.records.size(), 10000u);
  }
  EXPECT_THROW(FetchPages([](std::int64_t) { return api::JsonRef::MakeInt(1); }, 0, 10, nullptr),
               Error);
}

LoggedValue Logged(std::int64_t time, double value, std::int64_t duration) {
  return {time, duration, api::JsonRef::MakeDouble(value)};
}

std::vector<std::vector<std::int64_t>> Spans(const std::vector<Segment>& segments) {
  std::vector<std::vector<std::int64_t>> spans;
  for (const Segment& s : segments)
    spans.push_back({s.from, s.to, static_cast<std::int64_t>(s.value), s.since});
  return spans;
}

TEST(HistorySegments, ValuesHoldUntilTheNextOrTheirEndAndTheNewestUntilNow) {
  using Spans_ = std::vector<std::vector<std::int64_t>>;
  // Set before the range, a value holds into it; one whose duration ends early leaves a gap;
  // the newest holds until now, whatever duration the server's clock gave it.
  const std::vector<LoggedValue> newestFirst{Logged(100, 3, 30), Logged(50, 2, 20)};
  EXPECT_EQ(Spans(LoggedSegments(newestFirst, Logged(-10, 1, 0), {0, 200}, 200)),
            (Spans_{{0, 50, 1, -10}, {50, 70, 2, 50}, {100, 200, 3, 100}}));
  // A range that ends before now keeps the newest record's duration, and stops at its end.
  EXPECT_EQ(Spans(LoggedSegments(newestFirst, std::nullopt, {0, 120}, 200)),
            (Spans_{{50, 70, 2, 50}, {100, 120, 3, 100}}));
  EXPECT_EQ(Spans(LoggedSegments({Logged(100, 3, 0)}, std::nullopt, {0, 300}, 200)),
            (Spans_{{100, 200, 3, 100}}));

  // Periods are their mean over their length; a missing period is a gap.
  const std::vector<AggregatedValue> periods{{7200, 3600, 4}, {0, 3600, 2}};
  EXPECT_EQ(Spans(AggregatedSegments(periods, {1800, 9000}, 8000)),
            (Spans_{{1800, 3600, 2, 0}, {7200, 8000, 4, 7200}}));
  const auto columns = ColumnMeans(AggregatedSegments(periods, {0, 8000}, 8000), {0, 8000}, 4);
  EXPECT_EQ(columns, (std::vector<std::optional<double>>{2, 2, std::nullopt, 4}));
}

}  // namespace
}  // namespace velmar::shell
