#include "shell/history_views.h"

#include <algorithm>

#include "json/writer.h"
#include "platform/clock.h"
#include "shell/help.h"
#include "text/arguments.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {
namespace {

std::u16string TimeText(std::int64_t t, const platform::RegionalSettings& settings) {
  return text::Utf8ToUtf16(
      platform::FormatDateTime(platform::UnixMillisecondsToLocalDateTime(t * 1000), settings));
}

std::u16string PeriodName(AggregationLevel level) {
  switch (level) {
    case AggregationLevel::Minute:
      return u"minute";
    case AggregationLevel::FiveMinutes:
      return u"5 minutes";
    case AggregationLevel::Hour:
      return u"hour";
    case AggregationLevel::Day:
      return u"day";
    case AggregationLevel::Week:
      return u"week";
    case AggregationLevel::Month:
      return u"month";
    case AggregationLevel::Year:
      return u"year";
  }
  return u"period";
}

bool Overlaps(const AggregatedValue& p, HistoryRange range) {
  return p.time < range.to && p.time + std::max<std::int64_t>(p.duration, 1) > range.from;
}

// A number the server sent, as a listing shows it, between the profile's prefix and suffix.
std::u16string ServerNumber(const HistoryTarget& target, double value) {
  return target.format.prefix + json::FloatToJson(value) + target.format.suffix;
}

std::u16string Computed(const HistoryTarget& target, double value, std::int32_t decimals) {
  return target.format.Text(value, decimals);
}

// `text` broken at blanks into lines of at most `width` characters; a longer word stands
// alone (and is cut when written).
void WrapWords(const std::u16string& text, std::int32_t width, std::vector<std::u16string>& out) {
  std::u16string line;
  for (const auto& word : text::explode(text, u' ', false, false)) {
    if (!line.empty() && static_cast<std::int32_t>(line.size() + 1 + word.size()) > width) {
      out.push_back(std::move(line));
      line.clear();
    }
    line += (line.empty() ? u"" : u" ") + word;
  }
  if (!line.empty()) out.push_back(std::move(line));
}

// The items joined by ", " and ended by `end`, the first capitalised, in lines of at most
// `width` characters: an item goes on the next line when it does not fit on this one, and is
// broken at blanks only when it does not fit on a line of its own.
std::vector<std::u16string> Wrap(std::vector<std::u16string> items, std::int32_t width,
                                 std::u16string_view end = u".") {
  if (!items.empty() && !items[0].empty() && items[0][0] >= u'a' && items[0][0] <= u'z')
    items[0][0] = static_cast<char16_t>(items[0][0] - u'a' + u'A');
  std::vector<std::u16string> lines;
  std::u16string line;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::u16string item = items[i] + std::u16string(i + 1 < items.size() ? u"," : end);
    const auto size = static_cast<std::int32_t>(item.size());
    if (!line.empty() && static_cast<std::int32_t>(line.size()) + 1 + size <= width) {
      line += u" " + item;
      continue;
    }
    if (!line.empty()) lines.push_back(std::move(line));
    line.clear();
    if (size <= width) {
      line = item;
    } else {
      WrapWords(item, width, lines);
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::u16string> Notes(PagingEnd end) {
  if (end == PagingEnd::Limited)
    return {u"Only the newest " + text::IntToStr(static_cast<std::int64_t>(kMostHistoryRecords)) +
            u" records were read; narrow the range with -from and -to."};
  if (end == PagingEnd::Stuck)
    return {u"More than " + text::IntToStr(static_cast<std::int64_t>(kArchivePage)) +
            u" records share one second; the records before it were not read."};
  return {};
}

std::vector<std::u16string> ChartLines(const HistoryTarget& target, HistoryView view,
                                       HistoryRange range, const HistoryData& data,
                                       const std::vector<Segment>& segments,
                                       const HistorySummary& summary, std::int32_t width,
                                       const platform::RegionalSettings& settings) {
  const bool bars = view == HistoryView::Bars;
  const SeriesSummary extent = Summarize(segments);
  const ChartLayout layout(ScaleFor(extent.min, extent.max, bars), target.format, width);
  std::vector<std::u16string> lines =
      layout.Rows(bars ? ColumnValuesAtMiddle(segments, range, layout.DataColumns())
                       : ColumnMeans(segments, range, layout.DataColumns()));
  for (auto& line : layout.TimeAxis(range.from, range.to, settings)) lines.push_back(line);

  std::vector<std::u16string> items;
  // A bar's figures are sums per period: "0.48 kWh per hour".
  const std::u16string per = bars && data.level ? u" per " + PeriodName(*data.level) : u"";
  auto extreme = [&](const char16_t* word, double value, std::int64_t t) {
    const std::u16string number =
        bars ? Computed(target, value, summary.decimals) : ServerNumber(target, value);
    return word + number + per + u" at " + TimeText(t, settings);
  };
  if (summary.total)
    items.push_back(u"total " + Computed(target, *summary.total, summary.decimals));
  if (summary.min) items.push_back(extreme(u"min ", *summary.min, summary.minTime));
  if (summary.max) items.push_back(extreme(u"max ", *summary.max, summary.maxTime));
  if (summary.mean)
    items.push_back(u"mean " + Computed(target, *summary.mean, summary.decimals) + per);
  items.push_back((bars ? u"reading " : u"last ") + target.CurrentText());
  for (auto& line : Wrap(items, width)) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::u16string> BandLines(const HistoryTarget& target, HistoryRange range,
                                      const std::vector<Segment>& segments,
                                      const HistorySummary& summary, std::int32_t width,
                                      const platform::RegionalSettings& settings) {
  const ChartLayout layout = ChartLayout::ForBand(width);
  std::vector<std::u16string> lines{
      layout.Band(ColumnMeans(segments, range, layout.DataColumns()))};
  for (auto& line : layout.TimeAxis(range.from, range.to, settings)) lines.push_back(line);
  const std::u16string share = ValueFormat{}.Text(summary.onShare.value_or(0) * 100, 1);
  std::vector<std::u16string> items{u"on " + share + u" % of the time",
                                    text::IntToStr(static_cast<std::int64_t>(summary.changes)) +
                                        (summary.changes == 1 ? u" change" : u" changes"),
                                    u"last " + target.CurrentText(),
                                    u"█ on, ▁ to ▇ on part of the time, ░ off"};
  for (auto& line : Wrap(items, width)) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::u16string> TableLines(const HistoryTarget& target, const HistoryData& data,
                                       const platform::RegionalSettings& settings) {
  // Date and time also at midnight, so that the values stand in one column.
  const std::string pattern = settings.shortDateFormat + " " + settings.longTimeFormat;
  std::vector<std::u16string> lines;
  lines.reserve(data.logged.size());
  for (auto it = data.logged.rbegin(); it != data.logged.rend(); ++it) {
    const std::string when = platform::FormatDateTimeWith(
        platform::UnixMillisecondsToLocalDateTime(it->time * 1000), pattern, settings);
    lines.push_back(text::Utf8ToUtf16(when) + u"  " + target.ValueText(it->value));
  }
  return lines;
}

}  // namespace

std::vector<Segment> HistorySegments(const HistoryData& data, HistoryRange range,
                                     std::int64_t now) {
  return data.level ? AggregatedSegments(data.periods, range, now)
                    : LoggedSegments(data.logged, data.before, range, now);
}

HistorySummary SummaryOf(HistoryView view, const HistoryData& data, HistoryRange range,
                         std::int64_t now) {
  HistorySummary summary;
  summary.changes = data.logged.size();
  const std::vector<Segment> segments = HistorySegments(data, range, now);
  if (segments.empty() || view == HistoryView::Table) return summary;
  const SeriesSummary series = Summarize(segments);
  if (view == HistoryView::Band) {
    summary.onShare = series.mean;
    return summary;
  }
  const bool bars = view == HistoryView::Bars;
  summary.decimals = ScaleFor(series.min, series.max, bars).decimals + (bars ? 2 : 1);
  if (!data.level) {
    summary.min = series.min, summary.minTime = series.minTime;
    summary.max = series.max, summary.maxTime = series.maxTime;
    summary.mean = series.mean;
    return summary;
  }
  std::size_t periods = 0;
  double total = 0, complete = 0;
  for (const AggregatedValue& p : data.periods) {
    if (!Overlaps(p, range)) continue;
    total += p.avg;
    // A counter's period that is still running would count as its smallest.
    if (bars && p.time + p.duration > now) continue;
    const double low = bars ? p.avg : p.min, high = bars ? p.avg : p.max;
    const std::int64_t lowTime = bars ? p.time : p.minTime, highTime = bars ? p.time : p.maxTime;
    // Newest first: of equal extremes the earliest is kept, as for raw values.
    if (!summary.min || low <= *summary.min) summary.min = low, summary.minTime = lowTime;
    if (!summary.max || high >= *summary.max) summary.max = high, summary.maxTime = highTime;
    complete += p.avg;
    ++periods;
  }
  if (bars) {
    summary.total = total;
    if (periods > 0) summary.mean = complete / static_cast<double>(periods);
  } else {
    summary.mean = series.mean;
  }
  return summary;
}

std::u16string SourceName(HistoryView view, const std::optional<AggregationLevel>& level) {
  if (!level) return u"raw values";
  return (view == HistoryView::Bars ? u"sums per " : u"means per ") + PeriodName(*level);
}

std::vector<std::u16string> HistoryLines(const HistoryTarget& target, HistoryView view,
                                         HistoryRange range, const HistoryData& data,
                                         std::int64_t now, std::int32_t width,
                                         const platform::RegionalSettings& settings) {
  const std::u16string span =
      u"from " + TimeText(range.from, settings) + u" to " + TimeText(range.to, settings);
  const std::u16string title = text::Inert(target.name) + u" (" + text::IntToStr(target.id) + u")";
  const std::vector<Segment> segments = HistorySegments(data, range, now);
  std::vector<std::u16string> lines;
  auto heading = [&](std::u16string what) {
    for (auto& line : Wrap({title, span, std::move(what)}, width, u"")) lines.push_back(line);
  };
  if (view == HistoryView::Table) {
    const std::size_t count = data.logged.size();
    heading(text::IntToStr(static_cast<std::int64_t>(count)) +
            (count == 1 ? u" record" : u" records"));
    for (auto& line : TableLines(target, data, settings)) lines.push_back(std::move(line));
  } else if (segments.empty()) {
    lines.push_back(u"No values logged " + span + u".");
  } else {
    heading(SourceName(view, data.level));
    const HistorySummary summary = SummaryOf(view, data, range, now);
    const auto body =
        view == HistoryView::Band
            ? BandLines(target, range, segments, summary, width, settings)
            : ChartLines(target, view, range, data, segments, summary, width, settings);
    lines.insert(lines.end(), body.begin(), body.end());
  }
  for (auto& note : Notes(data.end)) lines.push_back(std::move(note));
  return lines;
}

}  // namespace velmar::shell
