#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "telnet/session.h"

namespace velmar::shell {

// The options that follow a search pattern.
struct FindOptions {
  bool ignoreCase = false;  // "-i", "-ignorecase"
  bool wholeWord = false;   // "-w", "-word"
};

// Whether the object name `name` matches the search `pattern`. The pattern must occur in the
// name without spanning one of the name's blanks; with `wholeWord` it must also start at the
// name's start or after a blank and end at the name's end or before a blank. A blank in the
// pattern therefore never matches. With `ignoreCase` both are compared by their simple
// Unicode case folding ("KÜCHE" finds "Küche").
bool NameMatches(std::u16string_view name, std::u16string_view pattern, FindOptions options);

// The ID padded to 5 characters, a tab and the name: how a match is shown.
std::u16string FindMatchLine(std::int32_t id, std::u16string_view name);

// One object's progress line: BS BS CR, the match line of the object, blanks up to
// `consoleChars` - 2 characters, CR LF.
std::u16string FindProgressLine(std::int32_t id, std::u16string_view name,
                                std::int32_t consoleChars);

// Milliseconds as seconds with one decimal ("#0.0", rounded half up) and the given separator.
std::u16string FormatSeconds(std::uint32_t milliseconds, std::u16string_view decimalSeparator);

// The find command: searches the names of every object on the server for the pattern (first
// argument), writing a progress line per object with a pause of 50 ms after each, and a
// summary of how many were searched, how long it took and how many matched. For a script
// (a one-shot command list, or with -json) the names are asked for together without pauses
// and only the matches and the summary are written (with -json as one document).
void Find(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
