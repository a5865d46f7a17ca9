#include "text/console_layout.h"

#include <algorithm>
#include <limits>

#include "text/encoding.h"

namespace velmar::text {

namespace {

constexpr char16_t kEsc = u'\x1b';

// The hidden-character count without the 32-bit limit of the public result, so that widths
// derived from it cannot overflow however many sequences a text holds.
std::int64_t CountHidden64(std::u16string_view value) {
  std::int64_t count = 0;
  // First "m" at or after the current ESC. ESC positions only grow, so this position only
  // moves forward and the whole count takes one pass over the text.
  std::size_t nextM = 0;
  bool noMoreM = false;
  for (std::size_t esc = value.find(kEsc); esc != std::u16string_view::npos && !noMoreM;
       esc = value.find(kEsc, esc + 1)) {
    if (nextM < esc) nextM = esc;
    nextM = value.find(u'm', nextM);
    if (nextM == std::u16string_view::npos) {
      noMoreM = true;  // no later ESC can be closed either
    } else {
      count += static_cast<std::int64_t>(nextM - esc + 1);
    }
  }
  return count;
}

std::u16string LimitChars64(std::u16string_view value, std::int64_t limit) {
  const std::int64_t keep = limit + CountHidden64(value);
  if (keep <= 0) return {};
  return std::u16string(
      value.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(keep, value.size()))));
}

}  // namespace

std::int32_t CountHiddenChars(std::u16string_view value) {
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(CountHidden64(value), std::numeric_limits<std::int32_t>::max()));
}

std::u16string LimitChars(std::u16string_view value, std::int32_t limit) {
  return LimitChars64(value, limit);
}

std::u16string ReplaceLF(std::u16string_view value) {
  std::u16string result;
  result.reserve(value.size() + value.size() / 8);
  for (const char16_t c : value) {
    if (c == u'\r') continue;
    if (c == u'\n') result.push_back(u'\r');
    result.push_back(c);
  }
  return result;
}

std::string WriteFormatedBytes(std::u16string_view line, std::int32_t width) {
  const std::size_t space = line.find(u' ');
  const std::u16string_view rest =
      space == std::u16string_view::npos ? line : line.substr(space + 1);
  std::string bytes = Utf16ToUtf8(ReplaceLF(LimitChars64(rest, width)));
  bytes.append("\r\n");
  return bytes;
}

std::string WriteFormatedBytes(std::u16string_view line) {
  return WriteFormatedBytes(line, gConsoleChars.load(std::memory_order_relaxed));
}

std::string WriteFormatedBytes(const std::vector<std::u16string>& lines) {
  std::string bytes;
  for (const std::u16string& line : lines) bytes += WriteFormatedBytes(line);
  return bytes;
}

}  // namespace velmar::text
