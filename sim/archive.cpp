#include "sim/archive.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>

namespace velmar::sim {
namespace {

int64_t FloorTo(int64_t t, int64_t step) {
  const int64_t q = t / step - ((t % step != 0 && t < 0) ? 1 : 0);
  return q * step;
}

std::tm Local(int64_t t) {
  const std::time_t at = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&at, &tm);
  return tm;
}

// The moment of a local date and time; fields out of range carry over (day 32 is the 1st of
// the next month), and daylight-saving time is whatever is in force then.
int64_t FromLocal(std::tm tm) {
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

std::tm LocalMidnight(int64_t t) {
  std::tm tm = Local(t);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  return tm;
}

// Sums of decimals carry binary noise (0.1 + 0.2); nine decimals are more than any meter has.
double Tidy(double value) {
  return std::round(value * 1e9) / 1e9;
}

std::size_t EffectiveLimit(std::size_t limit) {
  return limit == 0 || limit > kArchiveRecordLimit ? kArchiveRecordLimit : limit;
}

}  // namespace

int64_t PeriodStart(AggregationLevel level, int64_t t) {
  switch (level) {
    case AggregationLevel::Minute:
      return FloorTo(t, 60);
    case AggregationLevel::FiveMinutes:
      return FloorTo(t, 300);
    case AggregationLevel::Hour: {
      const std::tm tm = Local(t);
      return t - tm.tm_min * 60 - tm.tm_sec;
    }
    case AggregationLevel::Day:
      return FromLocal(LocalMidnight(t));
    case AggregationLevel::Week: {
      std::tm tm = LocalMidnight(t);
      tm.tm_mday -= (tm.tm_wday + 6) % 7;  // back to Monday
      return FromLocal(tm);
    }
    case AggregationLevel::Month: {
      std::tm tm = LocalMidnight(t);
      tm.tm_mday = 1;
      return FromLocal(tm);
    }
    case AggregationLevel::Year: {
      std::tm tm = LocalMidnight(t);
      tm.tm_mday = 1;
      tm.tm_mon = 0;
      return FromLocal(tm);
    }
  }
  return t;
}

int64_t PeriodEnd(AggregationLevel level, int64_t start) {
  switch (level) {
    case AggregationLevel::Minute:
      return start + 60;
    case AggregationLevel::FiveMinutes:
      return start + 300;
    case AggregationLevel::Hour:
      return start + 3600;
    case AggregationLevel::Day:
    case AggregationLevel::Week:
    case AggregationLevel::Month:
    case AggregationLevel::Year: {
      std::tm tm = LocalMidnight(start);
      if (level == AggregationLevel::Day) tm.tm_mday += 1;
      if (level == AggregationLevel::Week) tm.tm_mday += 7;
      if (level == AggregationLevel::Month) tm.tm_mon += 1;
      if (level == AggregationLevel::Year) tm.tm_year += 1;
      return FromLocal(tm);
    }
  }
  return start + 1;
}

ArchiveLog::ArchiveLog(VariableType type, Aggregation aggregation)
    : type_(type), aggregation_(aggregation) {}

double ArchiveLog::encode(const Json& value) {
  switch (type_) {
    case VariableType::Boolean:
      return value.get<bool>() ? 1 : 0;
    case VariableType::Integer:
    case VariableType::Float:
      return value.get<double>();
    case VariableType::String: {
      const std::string text = value.get<std::string>();
      auto [it, added] = textIndex_.emplace(text, texts_.size());
      if (added) texts_.push_back(text);
      return static_cast<double>(it->second);
    }
  }
  return 0;
}

Json ArchiveLog::decode(double value) const {
  switch (type_) {
    case VariableType::Boolean:
      return value != 0;
    case VariableType::Integer:
      return static_cast<int64_t>(value);
    case VariableType::Float:
      return value;
    case VariableType::String:
      return texts_[static_cast<std::size_t>(value)];
  }
  return nullptr;
}

bool ArchiveLog::log(int64_t time, const Json& value) {
  const double encoded = encode(value);
  if (!records_.empty()) {
    Record& newest = records_.back();
    if (newest.end == kHolding) {
      if (newest.value == encoded) return false;
      newest.end = time;
    }
  }
  records_.push_back({time, kHolding, encoded});
  return true;
}

void ArchiveLog::pause(int64_t time) {
  if (!records_.empty() && records_.back().end == kHolding)
    records_.back().end = std::max(time, records_.back().time);
}

Json ArchiveLog::newestValue() const {
  return decode(records_.back().value);
}

Json ArchiveLog::loggedValues(int64_t start, int64_t end, std::size_t limit, int64_t now) const {
  if (end == 0) end = now;
  const std::size_t most = EffectiveLimit(limit);
  Json out = Json::array();
  auto it = std::upper_bound(records_.begin(), records_.end(), end,
                             [](int64_t t, const Record& r) { return t < r.time; });
  while (it != records_.begin() && out.size() < most) {
    const Record& r = *--it;
    if (r.time < start) break;
    Json record;
    record["TimeStamp"] = r.time;
    record["Value"] = decode(r.value);
    record["Duration"] = (r.end == kHolding ? std::max(now, r.time) : r.end) - r.time;
    out.push_back(std::move(record));
  }
  return out;
}

Json ArchiveLog::aggregatedValues(AggregationLevel level, int64_t start, int64_t end,
                                  std::size_t limit, int64_t now) const {
  if (type_ == VariableType::String)
    throw std::runtime_error("String variables have no aggregated values");
  end = end == 0 ? now : std::min(end, now);
  const std::size_t most = EffectiveLimit(limit);
  Json out = Json::array();
  if (records_.empty()) return out;
  const int64_t first = records_.front().time;
  for (int64_t periodStart = PeriodStart(level, end); periodStart >= start && out.size() < most;
       periodStart = PeriodStart(level, periodStart - 1)) {
    const int64_t periodEnd = PeriodEnd(level, periodStart);
    if (periodEnd <= first) break;
    Json record = periodRecord(periodStart, periodEnd, now);
    if (!record.is_null()) out.push_back(std::move(record));
  }
  return out;
}

Json ArchiveLog::periodRecord(int64_t start, int64_t end, int64_t now) const {
  return aggregation_ == Aggregation::Counter ? counterPeriod(start, end, now)
                                              : standardPeriod(start, end, now);
}

// The time-weighted average of the values that held in the period (up to now, gaps left out),
// and the smallest and largest of them with the moments they were set (or the period's start
// for the value that held when it began). Null when no value held in the period.
Json ArchiveLog::standardPeriod(int64_t start, int64_t end, int64_t now) const {
  const int64_t stop = std::min(end, now);
  auto it = std::upper_bound(records_.begin(), records_.end(), start,
                             [](int64_t t, const Record& r) { return t < r.time; });
  if (it != records_.begin()) --it;
  double weighted = 0, min = 0, max = 0;
  int64_t covered = 0, minTime = 0, maxTime = 0;
  bool any = false;
  for (; it != records_.end() && it->time < end; ++it) {
    const int64_t from = std::max(it->time, start);
    const int64_t to = std::min(it->end == kHolding ? now : it->end, stop);
    if (to <= from && it->time < start) continue;  // ended before the period
    if (to > from) {
      weighted += it->value * static_cast<double>(to - from);
      covered += to - from;
    }
    if (!any || it->value < min) min = it->value, minTime = from;
    if (!any || it->value > max) max = it->value, maxTime = from;
    any = true;
  }
  if (!any) return nullptr;
  Json record;
  record["TimeStamp"] = start;
  record["Duration"] = end - start;
  record["Avg"] = covered > 0 ? weighted / static_cast<double>(covered) : min;
  record["Min"] = min;
  record["MinTime"] = minTime;
  record["Max"] = max;
  record["MaxTime"] = maxTime;
  return record;
}

// The sum of the positive changes logged in the period, each against the record before it
// (the first record of all is the reference and counts 0), and the smallest and largest of
// them. Null when no value held in the period.
Json ArchiveLog::counterPeriod(int64_t start, int64_t end, int64_t now) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), start,
                             [](const Record& r, int64_t t) { return r.time < t; });
  double sum = 0, min = 0, max = 0;
  int64_t minTime = start, maxTime = start;
  bool anyDelta = false, any = false;
  for (; it != records_.end() && it->time < end; ++it) {
    any = true;
    if (it == records_.begin()) continue;
    const double delta = it->value - std::prev(it)->value;
    if (delta <= 0) continue;
    sum += delta;
    if (!anyDelta || delta < min) min = delta, minTime = it->time;
    if (!anyDelta || delta > max) max = delta, maxTime = it->time;
    anyDelta = true;
  }
  if (!any) {
    // No change in the period: it still counts (as 0) while the reading before it held.
    auto before = std::upper_bound(records_.begin(), records_.end(), start,
                                   [](int64_t t, const Record& r) { return t < r.time; });
    if (before == records_.begin()) return nullptr;
    --before;
    const int64_t held = before->end == kHolding ? now : before->end;
    if (held <= start) return nullptr;
  }
  Json record;
  record["TimeStamp"] = start;
  record["Duration"] = end - start;
  record["Avg"] = Tidy(sum);
  record["Min"] = Tidy(min);
  record["MinTime"] = minTime;
  record["Max"] = Tidy(max);
  record["MaxTime"] = maxTime;
  return record;
}

}  // namespace velmar::sim
