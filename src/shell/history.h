#pragma once

#include <string>

#include "telnet/session.h"

namespace velmar::shell {

// The history command: what the server's Archive Control logged for one variable over a span
// (24 hours unless the command line names another, or dates), as a chart as wide as the
// session (numbers), bars of the sums per period (counters), an on/off band (booleans) or a
// table of the records (strings, -list), each followed by a summary; or, with -json, one JSON
// document of the records and the summary.
void History(telnet::Session& session, const std::u16string& commandline);

// The dispatch row of the history command (level 1).
telnet::Command HistoryCommand();

}  // namespace velmar::shell
