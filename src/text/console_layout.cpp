#include "text/console_layout.h"

#include <algorithm>
#include <limits>

#include "text/encoding.h"

namespace velmar::text {

namespace {

constexpr char16_t kEsc = u'\x1b';

// The hidden-character count without the 32-bit limit of the public result. Only a complete
// select-graphic-rendition sequence (ESC "[", digits and semicolons, "m") is hidden: that is
// every sequence this program writes, and any other text that merely starts with an ESC and
// meets an "m" later is visible width. One pass over the text.
std::int64_t CountHidden64(std::u16string_view value) {
  std::int64_t count = 0;
  std::size_t esc = value.find(kEsc);
  while (esc != std::u16string_view::npos) {
    std::size_t end = esc + 1;
    if (end < value.size() && value[end] == u'[') {
      ++end;
      while (end < value.size() &&
             ((value[end] >= u'0' && value[end] <= u'9') || value[end] == u';'))
        ++end;
      if (end < value.size() && value[end] == u'm') {
        count += static_cast<std::int64_t>(end - esc + 1);
        esc = value.find(kEsc, end + 1);
        continue;
      }
    }
    esc = value.find(kEsc, esc + 1);
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
