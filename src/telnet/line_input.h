#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmar::telnet {

// The longest command line kept; characters beyond it are dropped up to the next LF.
inline constexpr std::size_t kMaxLineLength = 16384;
// What a client is told about a longer line, which is never run: "Line too long: more than
// 16384 characters.".
std::u16string LineTooLongMessage();
// Tab stops of line input.
inline constexpr std::size_t kTabWidth = 8;

// Assembles one command line from decoded characters the way the shell reads input: no
// echo, backspace and DEL remove the last character, a tab becomes spaces up to the next
// multiple of kTabWidth, anything else is kept as it is (NUL and other control characters
// included; cleanup removes them later).
//
// Line ends follow RFC 854 and 1123: CR LF, CR NUL, a bare CR and a bare LF each end a line;
// an LF, NUL or NUL LF right after a CR belongs to that line end, also when it arrives later.
// The escape sequences that cursor and function keys send (ESC "[" parameters and a final
// byte, ESC "O" and one character) are dropped whole; a lone ESC is dropped.
//
// Once the line holds more than kMaxLineLength characters, further characters are dropped
// up to the line end, and the line counts as too long.
class LineAssembler {
 public:
  // Takes one UTF-16 code unit; returns true when it completed the line.
  bool put(char16_t c);

  // Whether the completed line went over kMaxLineLength; ask before take().
  bool tooLong() const { return tooLong_ || line_.size() > kMaxLineLength; }

  // The completed line (never holding CR or LF); the assembler starts a new, empty one.
  std::u16string take();

  // Erases the last character (Telnet EC), or the whole line being typed (EL, and an
  // interrupt). A line end or escape sequence in progress is not affected.
  void eraseChar();
  void eraseLine();

  const std::u16string& line() const { return line_; }

 private:
  enum class After : unsigned char { kNothing, kCr, kCrNul, kEsc, kCsi, kSs3 };

  // Skips what belongs to a line end or escape sequence in progress; true when `c` is used up.
  bool skipped(char16_t c);

  std::u16string line_;
  bool tooLong_ = false;
  After after_ = After::kNothing;
};

// Removes what cannot be part of a command: control characters, the tilde, DEL, the C1
// controls U+0080..U+009F, U+FFFD (undecodable input) and unpaired surrogates. Printable
// characters from U+00A0 up are kept, so names with accented letters can be typed. With
// `startup` set (the first line of a connection) "$", apostrophe, "{" and "}" are dropped
// as well: together with the rest they remove what a client's Telnet option negotiation
// leaves in front of the first command.
std::u16string cleanup(std::u16string_view value, bool startup);

}  // namespace velmar::telnet
