#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmar::telnet {

// The longest command line kept; characters beyond it are dropped up to the next LF.
inline constexpr std::size_t kMaxLineLength = 16384;
// Tab stops of line input.
inline constexpr std::size_t kTabWidth = 8;

// Assembles one command line from decoded characters the way the shell reads input: no
// echo, backspace removes the last character, a tab becomes spaces up to the next multiple
// of kTabWidth, CR and ESC are dropped, LF ends the line, anything else is kept as it is
// (NUL, DEL and other control characters included; cleanup removes them later). Once the
// line holds more than kMaxLineLength characters, further characters are dropped.
class LineAssembler {
 public:
  // Takes one UTF-16 code unit; returns true when it was the LF that completes the line.
  bool put(char16_t c);

  // The completed line (never holding CR or LF); the assembler starts a new, empty one.
  std::u16string take();

  const std::u16string& line() const { return line_; }

 private:
  std::u16string line_;
};

// Removes what cannot be part of a command: control characters, the tilde, DEL, the C1
// controls U+0080..U+009F, U+FFFD (undecodable input) and unpaired surrogates. Printable
// characters from U+00A0 up are kept, so names with accented letters can be typed. With
// `startup` set (the first line of a connection) "$", apostrophe, "{" and "}" are dropped
// as well: together with the rest they remove what a client's Telnet option negotiation
// leaves in front of the first command.
std::u16string cleanup(std::u16string_view value, bool startup);

}  // namespace velmar::telnet
