#include "telnet/line_input.h"

#include "text/arguments.h"

namespace velmar::telnet {

std::u16string LineTooLongMessage() {
  return u"Line too long: more than " + text::IntToStr(kMaxLineLength) + u" characters.";
}

namespace {

bool isHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

bool LineAssembler::skipped(char16_t c) {
  const After after = after_;
  after_ = After::kNothing;
  switch (after) {
    case After::kNothing:
      return false;
    case After::kCr:
      if (c == u'\n') return true;
      if (c == u'\0') {
        after_ = After::kCrNul;
        return true;
      }
      return false;
    case After::kCrNul:
      return c == u'\n';
    case After::kEsc:
      if (c == u'[') {
        after_ = After::kCsi;
        return true;
      }
      if (c == u'O') {
        after_ = After::kSs3;
        return true;
      }
      return false;
    case After::kCsi:
      // Parameter and intermediate bytes, then one final byte (ECMA-48). Anything else
      // breaks the sequence off and counts as typed, so that Enter always ends the line.
      if (c >= 0x20 && c <= 0x3F) {
        after_ = After::kCsi;
        return true;
      }
      return c >= 0x40 && c <= 0x7E;
    case After::kSs3:
      return c >= 0x20 && c <= 0x7E;
  }
  return false;
}

bool LineAssembler::put(char16_t c) {
  if (skipped(c)) return false;
  if (c == u'\r') {
    after_ = After::kCr;
    return true;
  }
  if (c == u'\n') return true;
  if (line_.size() > kMaxLineLength) {
    tooLong_ = true;
    return false;
  }
  switch (c) {
    case u'\b':
    case 0x7F:
      eraseChar();
      break;
    case u'\t':
      line_.append(kTabWidth - line_.size() % kTabWidth, u' ');
      break;
    case u'\x1b':
      after_ = After::kEsc;
      break;
    default:
      line_.push_back(c);
  }
  return false;
}

void LineAssembler::eraseChar() {
  if (line_.empty()) return;
  // A character outside the BMP is one character to the user: remove both halves.
  if (line_.size() >= 2 && isLowSurrogate(line_.back()) &&
      isHighSurrogate(line_[line_.size() - 2])) {
    line_.pop_back();
  }
  line_.pop_back();
}

void LineAssembler::eraseLine() {
  line_.clear();
  tooLong_ = false;
}

std::u16string LineAssembler::take() {
  std::u16string result;
  result.swap(line_);
  tooLong_ = false;
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
