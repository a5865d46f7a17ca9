#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmar::text {

// The colours a console line can be painted in, in their fixed ordinal order 0..7.
enum class ConsoleColor : std::uint8_t {
  ccNone,
  ccRed,
  ccGreen,
  ccYellow,
  ccBlue,
  ccMagenta,
  ccCyan,
  ccWhite,
};

// The ANSI select-graphic-rendition sequence that switches to `color` (empty for ccNone).
std::u16string_view ColorSequence(ConsoleColor color);

// The reset sequence "\x1b[0m" that ends every colourised text.
inline constexpr std::u16string_view kColorReset = u"\x1b[0m";

// `str` wrapped in the colour's sequence and the reset sequence. The reset is appended for
// every colour, ccNone included; nothing inside `str` is inspected or escaped.
std::u16string Colorize(std::u16string_view str, ConsoleColor color);

}  // namespace velmar::text
