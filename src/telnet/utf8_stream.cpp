#include "telnet/utf8_stream.h"

namespace velmar::telnet {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendCodePoint(char32_t cp, std::u16string& out) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// The range the second byte of a sequence must lie in, given its lead byte. Narrowing the
// second byte rules out overlongs, surrogates and values above U+10FFFF up front.
bool secondByteFits(unsigned char lead, unsigned char second) {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return second >= 0x80 && second <= 0xBF;
  }
}

}  // namespace

void Utf8StreamDecoder::start(unsigned char byte, std::u16string& out) {
  if (byte < 0x80) {
    out.push_back(byte);
    return;
  }
  if (byte >= 0xC2 && byte <= 0xDF) {
    needed_ = 2;
  } else if (byte >= 0xE0 && byte <= 0xEF) {
    needed_ = 3;
  } else if (byte >= 0xF0 && byte <= 0xF4) {
    needed_ = 4;
  } else {
    out.push_back(kReplacement);  // continuation byte, C0, C1 or F5..FF
    return;
  }
  bytes_[0] = byte;
  count_ = 1;
}

void Utf8StreamDecoder::feed(unsigned char byte, std::u16string& out) {
  if (count_ == 0) {
    start(byte, out);
    return;
  }
  const bool fits = count_ == 1 ? secondByteFits(bytes_[0], byte) : (byte & 0xC0) == 0x80;
  if (!fits) {
    flush(out);
    start(byte, out);
    return;
  }
  bytes_[count_++] = byte;
  if (count_ < needed_) return;

  char32_t cp = bytes_[0] & (0xFF >> (needed_ + 1));
  for (int i = 1; i < needed_; ++i) cp = (cp << 6) | (bytes_[i] & 0x3F);
  appendCodePoint(cp, out);
  count_ = 0;
}

void Utf8StreamDecoder::flush(std::u16string& out) {
  out.append(static_cast<std::size_t>(count_), kReplacement);
  count_ = 0;
}

}  // namespace velmar::telnet
