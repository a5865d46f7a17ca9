#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "telnet/session.h"

namespace velmar::shell {

// The separator of the matching form of a name (U+00C6); a whole-word pattern is enclosed in
// two of them.
inline constexpr char16_t kWordMark = u'\u00C6';

// The options that follow a search pattern.
struct FindOptions {
  bool ignoreCase = false;  // "-i", "-ignorecase"
  bool wholeWord = false;   // "-w", "-word"
};

// Whether the object name `name` matches `needle` (already enclosed in kWordMark for a
// whole-word search): the needle must occur in the name's matching form, kWordMark + the
// name with every blank replaced by kWordMark + kWordMark. With `ignoreCase` only the letters
// a to z are compared without case.
bool NameMatches(std::u16string_view name, std::u16string_view needle, bool ignoreCase);

// One object's progress line: BS BS CR, the ID padded to 5 characters, a tab, the name,
// blanks up to `consoleChars` - 2 characters, CR LF.
std::u16string FindProgressLine(std::int32_t id, std::u16string_view name,
                                std::int32_t consoleChars);

// Milliseconds as seconds with one decimal ("#0.0", rounded half up) and the given separator.
std::u16string FormatSeconds(std::uint32_t milliseconds, std::u16string_view decimalSeparator);

// The find command: searches the names of every object on the server for the pattern (first
// argument), writing a progress line per object with a pause of 50 ms after each, and a
// summary of how many were searched, how long it took and how many matched.
void Find(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
