#pragma once

// The lenient JSON reader. It accepts standard JSON plus comments (/* */ and //), strings in
// single quotes, \x escapes, unquoted member names, trailing commas and bare words (text that
// is not JSON reads as one string value), and allows at most 31 levels of arrays and objects
// around a value. It never throws: malformed text gives no value (an empty JsonValue).
// Reading stops once the first complete value has been read; what follows is ignored. The
// text ends at its first NUL character if it has one.

#include <string_view>

#include "json/value.h"

namespace velmar::json {

// Reads UTF-16 text.
JsonValue ParseJson(std::u16string_view text) noexcept;

// Reads code-page text: each byte is one Windows-1252 character (this is how reply bodies are
// read, byte for byte, without a copy to UTF-16 first).
JsonValue ParseJsonCodePage(std::string_view bytes) noexcept;

}  // namespace velmar::json
