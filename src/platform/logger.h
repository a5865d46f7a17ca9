// The service's own lines on stderr: where it listens, warnings, failures, and the audit
// trail's copy. Each line is written whole, with one write under a lock, so that lines of
// different threads never mix (journald and log files take a line as one record); every line
// starts with "velmar: ".
#pragma once

#include <string_view>

namespace velmar::platform {

inline constexpr std::string_view kLogPrefix = "velmar: ";

// Writes "velmar: ", `message` and a line end. Any thread may call it.
void Log(std::string_view message);
// Writes "velmar: warning: ", `message` and a line end.
void LogWarning(std::string_view message);
// Writes `line`, which carries the prefix already, and a line end.
void LogLine(std::string_view line);

}  // namespace velmar::platform
