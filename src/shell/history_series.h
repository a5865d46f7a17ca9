// The history of one variable as the values that held over time, and what a chart or a summary
// takes from it: the mean of each column's slice of time, the extremes, the mean of it all.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "shell/history_arguments.h"
#include "shell/history_data.h"

namespace velmar::shell {

// A value that held from `from` to `to` (exclusive); it was set at `since`.
struct Segment {
  std::int64_t from = 0, to = 0;
  double value = 0;
  std::int64_t since = 0;
};

// A logged value as a number: numbers as they are, false and true as 0 and 1.
double NumericValue(const api::JsonRef& value);

// What the raw records (newest first) held within `range`, up to `now`, in time order: each
// value until the next record or until its duration ended (a gap follows); the newest until
// now when the range reaches now. `before` is the record set before the range, whose value may
// hold into it.
std::vector<Segment> LoggedSegments(const std::vector<LoggedValue>& newestFirst,
                                    const std::optional<LoggedValue>& before, HistoryRange range,
                                    std::int64_t now);

// The periods (newest first) as segments of their `avg`, within `range` and up to `now`, in
// time order. A missing period is a gap.
std::vector<Segment> AggregatedSegments(const std::vector<AggregatedValue>& newestFirst,
                                        HistoryRange range, std::int64_t now);

// The range cut into `columns` equal slices: for each, the time-weighted mean of the values
// that held in it; none where nothing held (a gap).
std::vector<std::optional<double>> ColumnMeans(const std::vector<Segment>& segments,
                                               HistoryRange range, std::int32_t columns);

// The same slices: for each, the value that held at its middle (a bar per period).
std::vector<std::optional<double>> ColumnValuesAtMiddle(const std::vector<Segment>& segments,
                                                        HistoryRange range, std::int32_t columns);

struct SeriesSummary {
  double min = 0, max = 0;
  std::int64_t minTime = 0, maxTime = 0;  // when the extremes were set
  double mean = 0;                        // weighted by how long each value held
  std::int64_t covered = 0;               // seconds in which a value held
};

// The extremes (the first of equal ones) and the mean; for no segments, all zero.
SeriesSummary Summarize(const std::vector<Segment>& segments);

}  // namespace velmar::shell
