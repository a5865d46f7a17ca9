#include "shell/history_series.h"

#include <algorithm>
#include <limits>

namespace velmar::shell {
namespace {

// The start of column `c` of `columns` slices of the range.
std::int64_t SliceStart(HistoryRange range, std::int32_t columns, std::int64_t c) {
  return range.from + (range.to - range.from) * c / columns;
}

void Append(std::vector<Segment>& out, Segment s, HistoryRange range, std::int64_t now) {
  s.from = std::max(s.from, range.from);
  s.to = std::min({s.to, range.to, now});
  if (s.to > s.from) out.push_back(s);
}

}  // namespace

double NumericValue(const api::JsonRef& value) {
  if (!value) return 0;
  if (value.DataType() == json::JsonType::stBoolean) return value.AsBoolean() ? 1 : 0;
  return value.AsDouble();
}

std::vector<Segment> LoggedSegments(const std::vector<LoggedValue>& newestFirst,
                                    const std::optional<LoggedValue>& before, HistoryRange range,
                                    std::int64_t now) {
  std::vector<const LoggedValue*> ordered;
  ordered.reserve(newestFirst.size() + 1);
  if (before) ordered.push_back(&*before);
  for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) ordered.push_back(&*it);

  constexpr std::int64_t kOpen = std::numeric_limits<std::int64_t>::max();
  std::vector<Segment> out;
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    const LoggedValue& record = *ordered[i];
    const bool newest = i + 1 == ordered.size();
    // The newest value the server has still holds: its duration was counted on the server's
    // clock, which may lag behind ours.
    std::int64_t end =
        record.duration > 0 && !(newest && range.to >= now) ? record.time + record.duration : kOpen;
    if (!newest) end = std::min(end, ordered[i + 1]->time);
    if (end == kOpen) end = now;
    Append(out, {record.time, end, NumericValue(record.value), record.time}, range, now);
  }
  return out;
}

std::vector<Segment> AggregatedSegments(const std::vector<AggregatedValue>& newestFirst,
                                        HistoryRange range, std::int64_t now) {
  std::vector<Segment> out;
  for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) {
    std::int64_t end = it->time + std::max<std::int64_t>(it->duration, 0);
    if (std::next(it) != newestFirst.rend()) end = std::min(end, std::next(it)->time);
    Append(out, {it->time, end, it->avg, it->time}, range, now);
  }
  return out;
}

std::vector<std::optional<double>> ColumnMeans(const std::vector<Segment>& segments,
                                               HistoryRange range, std::int32_t columns) {
  std::vector<std::optional<double>> out(static_cast<std::size_t>(std::max(columns, 0)));
  std::size_t s = 0;
  for (std::int32_t c = 0; c < columns; ++c) {
    const std::int64_t a = SliceStart(range, columns, c), b = SliceStart(range, columns, c + 1);
    while (s < segments.size() && segments[s].to <= a) ++s;
    double weighted = 0;
    std::int64_t covered = 0;
    for (std::size_t i = s; i < segments.size() && segments[i].from < b; ++i) {
      const std::int64_t length = std::min(b, segments[i].to) - std::max(a, segments[i].from);
      if (length <= 0) continue;
      weighted += segments[i].value * static_cast<double>(length);
      covered += length;
    }
    if (covered > 0) {
      out[static_cast<std::size_t>(c)] = weighted / static_cast<double>(covered);
    } else if (b == a && s < segments.size() && segments[s].from <= a && a < segments[s].to) {
      out[static_cast<std::size_t>(c)] = segments[s].value;  // a slice shorter than a second
    }
  }
  return out;
}

std::vector<std::optional<double>> ColumnValuesAtMiddle(const std::vector<Segment>& segments,
                                                        HistoryRange range, std::int32_t columns) {
  std::vector<std::optional<double>> out(static_cast<std::size_t>(std::max(columns, 0)));
  std::size_t s = 0;
  for (std::int32_t c = 0; c < columns; ++c) {
    const std::int64_t middle =
        (SliceStart(range, columns, c) + SliceStart(range, columns, c + 1)) / 2;
    while (s < segments.size() && segments[s].to <= middle) ++s;
    if (s < segments.size() && segments[s].from <= middle)
      out[static_cast<std::size_t>(c)] = segments[s].value;
  }
  return out;
}

SeriesSummary Summarize(const std::vector<Segment>& segments) {
  SeriesSummary summary;
  double weighted = 0;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const Segment& s = segments[i];
    if (i == 0 || s.value < summary.min) summary.min = s.value, summary.minTime = s.since;
    if (i == 0 || s.value > summary.max) summary.max = s.value, summary.maxTime = s.since;
    weighted += s.value * static_cast<double>(s.to - s.from);
    summary.covered += s.to - s.from;
  }
  if (summary.covered > 0) summary.mean = weighted / static_cast<double>(summary.covered);
  return summary;
}

}  // namespace velmar::shell
