#include "text/colors.h"

#include <array>

namespace velmar::text {

std::u16string_view ColorSequence(ConsoleColor color) {
  static constexpr std::array<std::u16string_view, 8> kSequences = {
      u"",           u"\x1b[31m", u"\x1b[32;1m", u"\x1b[33;1m",
      u"\x1b[34;1m", u"\x1b[35m", u"\x1b[36;1m", u"\x1b[37;1m",
  };
  const auto index = static_cast<std::size_t>(color);
  return index < kSequences.size() ? kSequences[index] : std::u16string_view{};
}

std::u16string Colorize(std::u16string_view str, ConsoleColor color) {
  const std::u16string_view sequence = ColorSequence(color);
  std::u16string result;
  result.reserve(sequence.size() + str.size() + kColorReset.size());
  result.append(sequence).append(str).append(kColorReset);
  return result;
}

}  // namespace velmar::text
