// The watch command: the values of one variable, or of the variables of a category or
// instance, polled at an interval and shown as they change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "telnet/session.h"

namespace velmar::shell {

// The most variables one watch polls.
inline constexpr std::size_t kMaxWatched = 200;

struct WatchOptions {
  std::u16string target;  // the object argument, quotes removed
  double intervalSeconds = 1;
  std::optional<std::int64_t> count;  // -n: end after this many changes
  bool json = false;
};

// The options of a watch command line ("watch 12345 -i 0.5 -n 3 -json"): the object argument
// (an ID or a name, quoted when it holds blanks) and the options in any order; the interval
// from 0.2 to 3600 seconds, with a decimal point or comma. A line that does not parse gives
// the message that says why.
std::variant<WatchOptions, std::u16string> ParseWatchOptions(std::u16string_view commandline);

// The watch command (level 1). A variable: that variable; a category or instance: the
// variables among its direct children in listing order (at most kMaxWatched); a link: its
// target. Every interval the variables are asked for with IPS_GetVariable, the requests of one
// round in flight together. On a terminal (Session::IsTerminal) a table redrawn in place, a
// changed value highlighted for one round, and a status line; elsewhere one line per variable
// and then one line per change; with -json one JSON object per line. Ends on Ctrl+C, after
// -n changes, when the client goes, or after --request-timeout of failed rounds in a row.
void Watch(telnet::Session& session, const std::u16string& commandline);

}  // namespace velmar::shell
