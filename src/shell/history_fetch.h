// What `history` shows of a variable, and the records it reads for each way of showing it:
// raw values or aggregated periods, chosen for the width of the session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shell/chart.h"
#include "shell/history_arguments.h"
#include "shell/history_data.h"
#include "telnet/session.h"

namespace velmar::shell {

// The most records one history command reads (about 30 MB of records at most).
inline constexpr std::size_t kMostHistoryRecords = 100000;

// The variable of a history command, as the server describes it.
struct HistoryTarget {
  std::int32_t id = 0;
  std::u16string name;     // as the server sent it (repaired, not yet made inert)
  std::int32_t type = 0;   // the server's VariableType: 0 boolean, 1 integer, 2 float, 3 string
  api::JsonRef value;      // the current value as the server sent it
  std::u16string profile;  // the custom profile, else the profile (inert)
  ValueFormat format;      // the profile's prefix and suffix (numbers only)
  std::int32_t archive = 0;
  bool counter = false;  // aggregated as a counter

  bool numeric() const { return type == 1 || type == 2; }
  // The current value (or `value`) as a listing shows it, with the profile's prefix and suffix
  // around numbers and strings in double quotes.
  std::u16string ValueText(const api::JsonRef& value) const;
  std::u16string CurrentText() const { return ValueText(value); }
};

// How the history is shown.
enum class HistoryView {
  Chart,  // numbers: the means over time
  Bars,   // counters: the sum of each period
  Band,   // booleans: on and off over time
  Table,  // strings, and everything with -list: the records
};

HistoryView ViewFor(const HistoryTarget& target, bool list);

// The records behind a view.
struct HistoryData {
  std::optional<AggregationLevel> level;  // none: raw values
  std::vector<LoggedValue> logged;        // raw values in the range, newest first
  std::optional<LoggedValue> before;      // the raw value set before the range
  std::vector<AggregatedValue> periods;   // periods, newest first
  PagingEnd end = PagingEnd::Complete;
};

// Reads the records of `view` for `range` from the target's archive, for a chart `width`
// columns wide. Pages are read until done, kMostHistoryRecords, or the user's Ctrl+C (end
// Stopped). A chart takes the raw values when the range holds fewer of them than columns,
// else the periods that give every column a point; bars one period per bar.
HistoryData FetchHistory(telnet::Session& session, const HistoryTarget& target, HistoryView view,
                         HistoryRange range, std::int32_t width);

}  // namespace velmar::shell
