#pragma once

// The lenient JSON reader. It accepts standard JSON plus comments (/* */ and //), strings in
// single quotes, \x escapes, unquoted member names, trailing commas and bare words (text that
// is not JSON reads as one string value), and allows at most 31 levels of arrays and objects
// around a value. It never throws: malformed text gives no value (an empty JsonValue).
// Reading stops once the first complete value has been read; what follows is ignored. The
// text ends at its first NUL character if it has one.

#include <memory>
#include <string_view>

#include "json/value.h"

namespace velmar::json {

// Reads UTF-16 text.
JsonValue ParseJson(std::u16string_view text) noexcept;

// Reads code-page text: each byte is one Windows-1252 character (this is how reply bodies are
// read, byte for byte, without a copy to UTF-16 first).
JsonValue ParseJsonCodePage(std::string_view bytes) noexcept;

// Reads code-page text in pieces as they arrive (a reply body from the network), building the
// value as it goes: the pieces are never held, only the value read from them. Splitting the
// text anywhere gives the same value as ParseJsonCodePage of the whole. Once the value is
// complete, or the text can no longer be read, further pieces cost next to nothing.
class JsonStreamReader {
 public:
  JsonStreamReader();
  ~JsonStreamReader();
  JsonStreamReader(const JsonStreamReader&) = delete;
  JsonStreamReader& operator=(const JsonStreamReader&) = delete;

  // The next bytes of the text.
  void Feed(std::string_view bytes) noexcept;

  // The text has ended: the value it holds, or no value. Call once; Feed does nothing after.
  JsonValue Finish() noexcept;

 private:
  class Machine;
  std::unique_ptr<Machine> machine_;
};

}  // namespace velmar::json
