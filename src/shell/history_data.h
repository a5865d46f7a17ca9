// What `history` reads from the server's Archive Control: the raw records and the aggregated
// periods of one variable, fetched page by page past the server's 10,000-record limit, and the
// choice between them for a chart of a given width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "api/json_rpc.h"

namespace velmar::shell {

// The module ID of the Archive Control, for IPS_GetInstanceListByModuleID.
inline constexpr const char* kArchiveModuleID = "{43192F0B-135B-4CE7-A0A7-1475603F3060}";

// The most records the server sends in one reply.
inline constexpr std::size_t kArchivePage = 10000;

// The aggregation levels, numbered as AC_GetAggregatedValues numbers them.
enum class AggregationLevel : std::int32_t {
  Hour = 0,
  Day = 1,
  Week = 2,
  Month = 3,
  Year = 4,
  FiveMinutes = 5,
  Minute = 6,
};

// The length of a level's periods in seconds (months 31 days, years 366: the longest).
std::int64_t LongestPeriod(AggregationLevel level);
// The same with the shortest months (28 days) and years (365 days).
std::int64_t ShortestPeriod(AggregationLevel level);

// The level for the chart of a standard variable: the coarsest whose periods are no longer
// than the time one of `columns` columns covers, so that every column gets a point; none when
// a column covers less than a minute: the raw values then.
std::optional<AggregationLevel> ChartLevel(std::int64_t span, std::int32_t columns);

// The level for the bars of a counter: the finest whose periods are at least as long as a
// column's time, so that there are no more bars than columns (at most a year).
AggregationLevel BarLevel(std::int64_t span, std::int32_t columns);

// A raw record: when the value was set, how long it held, the value as the server sent it.
struct LoggedValue {
  std::int64_t time = 0;
  std::int64_t duration = 0;
  api::JsonRef value;
};

// An aggregated period: its start and length, the mean (for a counter: the sum of the changes),
// and the extremes with their moments.
struct AggregatedValue {
  std::int64_t time = 0;
  std::int64_t duration = 0;
  double avg = 0, min = 0, max = 0;
  std::int64_t minTime = 0, maxTime = 0;
};

LoggedValue ReadLoggedValue(const api::JsonRef& record);
AggregatedValue ReadAggregatedValue(const api::JsonRef& record);

// How fetching the pages ended.
enum class PagingEnd {
  Complete,  // every record of the range
  Limited,   // the most records asked for were reached; older ones were left
  Stopped,   // the user interrupted
  Stuck,     // a whole page shares one second: the records of that second cannot be told apart
};

struct Pages {
  std::vector<api::JsonRef> records;  // newest first
  PagingEnd end = PagingEnd::Complete;
};

// One call of the server: the newest records (at most kArchivePage) that lie between the
// range's start and `end` (inclusive), newest first.
using PageFetch = std::function<api::JsonRef(std::int64_t end)>;

// Every record up to `end` that `fetch` reaches, page by page: each next page ends at the
// oldest time stamp of the one before, and the records of that second already taken are
// skipped, so that none is lost or counted twice. Stops after `most` records, or when
// `stopped` says so between pages. Raises velmar::Error when a reply is not a list.
Pages FetchPages(const PageFetch& fetch, std::int64_t end, std::size_t most,
                 const std::function<bool()>& stopped);

}  // namespace velmar::shell
