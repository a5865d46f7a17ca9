#include "shell/history_data.h"

#include <algorithm>

#include "core/error.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kDay = 86400;

// From coarse to fine.
constexpr AggregationLevel kCoarseToFine[] = {
    AggregationLevel::Year,  AggregationLevel::Month, AggregationLevel::Week,
    AggregationLevel::Day,   AggregationLevel::Hour,  AggregationLevel::FiveMinutes,
    AggregationLevel::Minute};

std::int64_t Integer(const api::JsonRef& record, std::u16string_view name) {
  const api::JsonRef value = record.Get(name);
  return value ? value.AsInteger() : 0;
}

double Number(const api::JsonRef& record, std::u16string_view name) {
  const api::JsonRef value = record.Get(name);
  return value ? value.AsDouble() : 0;
}

}  // namespace

std::int64_t LongestPeriod(AggregationLevel level) {
  switch (level) {
    case AggregationLevel::Minute:
      return 60;
    case AggregationLevel::FiveMinutes:
      return 300;
    case AggregationLevel::Hour:
      return 3600;
    case AggregationLevel::Day:
      return kDay + 3600;  // a day when daylight-saving time ends
    case AggregationLevel::Week:
      return 7 * kDay + 3600;
    case AggregationLevel::Month:
      return 31 * kDay + 3600;
    case AggregationLevel::Year:
      return 366 * kDay;
  }
  return kDay;
}

std::int64_t ShortestPeriod(AggregationLevel level) {
  switch (level) {
    case AggregationLevel::Day:
      return kDay - 3600;
    case AggregationLevel::Week:
      return 7 * kDay - 3600;
    case AggregationLevel::Month:
      return 28 * kDay - 3600;
    case AggregationLevel::Year:
      return 365 * kDay;
    default:
      return LongestPeriod(level);
  }
}

std::optional<AggregationLevel> ChartLevel(std::int64_t span, std::int32_t columns) {
  const std::int64_t perColumn = span / std::max<std::int32_t>(columns, 1);
  for (const AggregationLevel level : kCoarseToFine)
    if (LongestPeriod(level) <= perColumn) return level;
  return std::nullopt;
}

AggregationLevel BarLevel(std::int64_t span, std::int32_t columns) {
  const std::int64_t perColumn = span / std::max<std::int32_t>(columns, 1);
  AggregationLevel chosen = AggregationLevel::Year;
  for (const AggregationLevel level : kCoarseToFine)
    if (ShortestPeriod(level) >= perColumn) chosen = level;
  return chosen;
}

LoggedValue ReadLoggedValue(const api::JsonRef& record) {
  return {Integer(record, u"TimeStamp"), Integer(record, u"Duration"), record.Get(u"Value")};
}

AggregatedValue ReadAggregatedValue(const api::JsonRef& record) {
  AggregatedValue v;
  v.time = Integer(record, u"TimeStamp");
  v.duration = Integer(record, u"Duration");
  v.avg = Number(record, u"Avg");
  v.min = Number(record, u"Min");
  v.max = Number(record, u"Max");
  v.minTime = Integer(record, u"MinTime");
  v.maxTime = Integer(record, u"MaxTime");
  return v;
}

Pages FetchPages(const PageFetch& fetch, std::int64_t end, std::size_t most,
                 const std::function<bool()>& stopped) {
  Pages result;
  std::size_t seen = 0;  // records of the second `end` that an earlier page gave already
  for (;;) {
    const api::JsonRef page = fetch(end);
    const json::JsonArray* records = page ? page.AsArray() : nullptr;
    if (!records) throw Error("The server's archive reply is not a list of records.");
    std::size_t skip = seen;
    std::int64_t oldest = end;
    std::size_t atOldest = 0;
    for (const api::JsonRef& record : *records) {
      const std::int64_t time = Integer(record, u"TimeStamp");
      if (time == end && skip > 0) {
        --skip;
        continue;
      }
      if (result.records.size() == most) {
        result.end = PagingEnd::Limited;
        return result;
      }
      result.records.push_back(record);
      atOldest = time == oldest ? atOldest + 1 : 1;
      oldest = time;
    }
    if (records->Length() < kArchivePage) return result;
    if (oldest == end) {  // the whole page lies in the second it ended with
      result.end = PagingEnd::Stuck;
      return result;
    }
    seen = atOldest;
    end = oldest;
    if (stopped && stopped()) {
      result.end = PagingEnd::Stopped;
      return result;
    }
  }
}

}  // namespace velmar::shell
