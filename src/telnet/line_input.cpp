#include "telnet/line_input.h"

namespace velmar::telnet {

namespace {

bool isHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

bool LineAssembler::put(char16_t c) {
  if (c == u'\n') return true;
  if (line_.size() > kMaxLineLength) return false;
  switch (c) {
    case u'\b':
      if (!line_.empty()) {
        // A character outside the BMP is one character to the user: remove both halves.
        if (line_.size() >= 2 && isLowSurrogate(line_.back()) &&
            isHighSurrogate(line_[line_.size() - 2])) {
          line_.pop_back();
        }
        line_.pop_back();
      }
      break;
    case u'\t':
      line_.append(kTabWidth - line_.size() % kTabWidth, u' ');
      break;
    case u'\r':
    case u'\x1b':
      break;
    default:
      line_.push_back(c);
  }
  return false;
}

std::u16string LineAssembler::take() {
  std::u16string result;
  result.swap(line_);
  return result;
}

std::u16string cleanup(std::u16string_view value, bool startup) {
  std::u16string result;
  result.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c >= 32 && c <= 125) {
      if (startup && (c == u'$' || c == u'\'' || c == u'{' || c == u'}')) continue;
      result.push_back(c);
    } else if (isHighSurrogate(c)) {
      if (i + 1 < value.size() && isLowSurrogate(value[i + 1])) {
        result.push_back(c);
        result.push_back(value[++i]);
      }
    } else if (c >= 0xA0 && c != 0xFFFD && !isLowSurrogate(c)) {
      result.push_back(c);
    }
  }
  return result;
}

}  // namespace velmar::telnet
