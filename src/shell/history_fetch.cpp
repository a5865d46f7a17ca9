#include "shell/history_fetch.h"

#include <algorithm>

#include "api/server_calls.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {
namespace {

// Room a chart leaves for its y-axis labels, roughly; the exact width follows from the values.
constexpr std::int32_t kLabelRoom = 12;

// The server reads 0 as "from the beginning"; a range before 1970 starts at its first second.
std::int64_t ServerStart(std::int64_t from) {
  return std::max<std::int64_t>(from, 1);
}

class Source {
 public:
  Source(telnet::Session& session, const HistoryTarget& target)
      : session_(session), archive_(target.archive), variable_(target.id) {}

  Pages Logged(HistoryRange range) const {
    return FetchPages(
        [&](std::int64_t end) {
          return api::AC_GetLoggedValues(archive_, variable_, ServerStart(range.from), end,
                                         static_cast<std::int32_t>(kArchivePage));
        },
        range.to, kMostHistoryRecords, [this] { return Stopped(); });
  }

  // The newest records of the range, at most `limit`, in one call.
  std::vector<api::JsonRef> Newest(HistoryRange range, std::int32_t limit) const {
    const api::JsonRef page =
        api::AC_GetLoggedValues(archive_, variable_, ServerStart(range.from), range.to, limit);
    std::vector<api::JsonRef> records;
    if (const json::JsonArray* list = page ? page.AsArray() : nullptr)
      records.assign(list->begin(), list->end());
    return records;
  }

  std::optional<LoggedValue> Before(std::int64_t t) const {
    if (t - 1 < 1) return std::nullopt;
    const std::vector<api::JsonRef> newest = Newest({0, t - 1}, 1);
    if (newest.empty()) return std::nullopt;
    return ReadLoggedValue(newest.front());
  }

  Pages Aggregated(AggregationLevel level, HistoryRange range) const {
    // From the start of the period that holds the range's start.
    const std::int64_t start = ServerStart(range.from - LongestPeriod(level));
    return FetchPages(
        [&](std::int64_t end) {
          return api::AC_GetAggregatedValues(archive_, variable_, static_cast<std::int32_t>(level),
                                             start, end, static_cast<std::int32_t>(kArchivePage));
        },
        range.to, kMostHistoryRecords, [this] { return Stopped(); });
  }

 private:
  // Between pages: a moment to read the user's input, then whether Ctrl+C came or the client
  // went.
  bool Stopped() const {
    session_.delay(1);
    return session_.Interrupted() || !session_.client().Connected();
  }

  telnet::Session& session_;
  std::int32_t archive_, variable_;
};

void TakeLogged(HistoryData& data, const Pages& pages) {
  data.logged.reserve(pages.records.size());
  for (const api::JsonRef& record : pages.records) data.logged.push_back(ReadLoggedValue(record));
  data.end = pages.end;
}

void TakePeriods(HistoryData& data, const Pages& pages) {
  data.periods.reserve(pages.records.size());
  for (const api::JsonRef& record : pages.records)
    data.periods.push_back(ReadAggregatedValue(record));
  data.end = pages.end;
}

}  // namespace

std::u16string HistoryTarget::ValueText(const api::JsonRef& v) const {
  if (!v) return {};
  const std::u16string text = text::Inert(text::Utf8Repair(v.AsString()));
  if (v.DataType() == json::JsonType::stString) return u"\"" + text + u"\"";
  const json::JsonType kind = v.DataType();
  const bool number = kind == json::JsonType::stInt || kind == json::JsonType::stDouble ||
                      kind == json::JsonType::stCurrency;
  return number ? format.prefix + text + format.suffix : text;
}

HistoryView ViewFor(const HistoryTarget& target, bool list) {
  if (list) return HistoryView::Table;
  if (target.type == 0) return HistoryView::Band;
  if (!target.numeric()) return HistoryView::Table;
  return target.counter ? HistoryView::Bars : HistoryView::Chart;
}

HistoryData FetchHistory(telnet::Session& session, const HistoryTarget& target, HistoryView view,
                         HistoryRange range, std::int32_t width) {
  const Source source(session, target);
  const std::int64_t span = range.to - range.from;
  HistoryData data;
  if (view == HistoryView::Bars) {
    data.level = BarLevel(span, std::max(width - kLabelRoom, 1));
    TakePeriods(data, source.Aggregated(*data.level, range));
    return data;
  }
  if (view == HistoryView::Chart) {
    data.level = ChartLevel(span, width);
    if (data.level) {
      // Few enough raw values to draw each as it was: one small call tells.
      const std::vector<api::JsonRef> newest = source.Newest(range, width + 1);
      if (static_cast<std::int32_t>(newest.size()) <= width) {
        data.level.reset();
        TakeLogged(data, {newest, PagingEnd::Complete});
      } else {
        TakePeriods(data, source.Aggregated(*data.level, range));
        return data;
      }
    } else {
      TakeLogged(data, source.Logged(range));
    }
  } else {
    TakeLogged(data, source.Logged(range));
  }
  // The value that held when the range began; not when the oldest records were left unread.
  if (view != HistoryView::Table && data.end == PagingEnd::Complete)
    data.before = source.Before(range.from);
  return data;
}

}  // namespace velmar::shell
