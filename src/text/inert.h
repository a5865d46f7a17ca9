#pragma once

#include <string>
#include <string_view>

namespace velmar::text {

// What takes the place of a control character in server text: U+FFFD, the replacement
// character. It is one character wide, like the character it stands for, so that a text keeps
// its length, its positions and its place in a column; and it cannot be mistaken for anything
// the server might have written on purpose the way caret notation ("^[") could.
inline constexpr char16_t kInertPlaceholder = u'\uFFFD';

// Whether the line breaks and tabs of a text are kept (script output) or replaced like every
// other control character (names, values, one-line texts).
enum class InertLayout { OneLine, KeepLines };

// `value` made safe to show on a terminal or in a log: every C0 control character (U+0000 to
// U+001F), DEL (U+007F) and every C1 control character (U+0080 to U+009F) becomes
// kInertPlaceholder, so that no escape sequence, terminal query, bell, backspace or carriage
// return from the server can act on the terminal. With KeepLines, tabs stay and every line
// break (CR LF, a lone CR or a lone LF) becomes CR LF. Every text the server chose goes
// through here before it is shown to a Telnet user, written to stdout or stderr, or put into
// the window.
std::u16string Inert(std::u16string_view value, InertLayout layout = InertLayout::OneLine);

// The same for UTF-8 text (messages that carry server text to stderr or an error box).
std::string InertUtf8(std::string_view value);

// Only inside a catch block: what the failure being handled says, made inert (it may carry
// the server's or a client's text), so that a handler that must not let the failure pass can
// still log it.
std::string CaughtMessage();

}  // namespace velmar::text
