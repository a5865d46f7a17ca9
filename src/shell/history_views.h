// What `history` shows: the lines of a chart, bars, band or table with its heading and
// summary, and the summary's figures, which the JSON document carries too. Pure functions of
// the records, the clock and the width.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shell/history_fetch.h"
#include "shell/history_series.h"

namespace velmar::shell {

// The figures of a history's summary.
struct HistorySummary {
  std::optional<double> min, max;  // charts: values; bars: the sums of periods
  std::int64_t minTime = 0, maxTime = 0;
  std::optional<double> mean;     // charts: over time; bars: per period
  std::optional<double> total;    // bars: the sum of every period
  std::optional<double> onShare;  // bands: the share of time on, 0 to 1
  std::size_t changes = 0;        // bands and tables: the records in the range
  std::int32_t decimals = 0;      // for computed figures
};

// What held over the range, as the view draws it.
std::vector<Segment> HistorySegments(const HistoryData& data, HistoryRange range, std::int64_t now);

HistorySummary SummaryOf(HistoryView view, const HistoryData& data, HistoryRange range,
                         std::int64_t now);

// The name of the data: "raw values", "means per hour", "sums per day".
std::u16string SourceName(HistoryView view, const std::optional<AggregationLevel>& level);

// Every line `history` writes for the view, none wider than `width` (before the session cuts
// them), without the lead word the session's formatted writing drops.
std::vector<std::u16string> HistoryLines(const HistoryTarget& target, HistoryView view,
                                         HistoryRange range, const HistoryData& data,
                                         std::int64_t now, std::int32_t width,
                                         const platform::RegionalSettings& settings);

}  // namespace velmar::shell
