#include "text/encoding.h"

#include <array>
#include <cstdint>

namespace velmar::text {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80..0x9F. The undefined bytes map to the C1 controls of the same value,
// as the host's own conversion does, so that no byte is lost on the way through Unicode.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr int kNoByte = -1;

// The code-page byte of a character, or kNoByte when the code page lacks it.
int CodePageByte(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == c) return static_cast<int>(0x80 + i);
  }
  return kNoByte;
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// Calls `emit(byte)` for each character of `text`, a surrogate pair counting as one character
// that no 8-bit encoding holds.
template <typename ByteOf, typename Emit>
void EncodeEightBit(std::u16string_view text, ByteOf byteOf, Emit emit) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
      emit('?');
      continue;
    }
    const int byte = byteOf(c);
    emit(byte == kNoByte ? '?' : static_cast<char>(byte));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

struct Decoded {
  char32_t codePoint;  // kReplacement when the sequence is invalid
  std::size_t length;  // bytes consumed: the whole sequence, or its maximal invalid prefix
  bool valid;
};

// Decodes the UTF-8 sequence at `pos` (which must be inside `bytes`) by the well-formed byte
// ranges of Unicode: no overlong forms, no surrogates, nothing above U+10FFFF.
Decoded DecodeOne(std::string_view bytes, std::size_t pos) {
  const auto byteAt = [&bytes](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byteAt(pos);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t count = 0;  // continuation bytes expected
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;  // allowed range of the first continuation byte
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacement, 1, false};
  }

  std::size_t i = pos + 1;
  for (std::size_t k = 0; k < count; ++k, ++i) {
    if (i >= bytes.size()) return {kReplacement, i - pos, false};
    const std::uint8_t b = byteAt(i);
    const std::uint8_t min = k == 0 ? low : 0x80;
    const std::uint8_t max = k == 0 ? high : 0xBF;
    if (b < min || b > max) return {kReplacement, i - pos, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, i - pos, true};
}

}  // namespace

std::u16string CodePageToUnicode(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto b = static_cast<std::uint8_t>(ch);
    text.push_back(b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : static_cast<char16_t>(b));
  }
  return text;
}

std::string UnicodeToCodePage(std::u16string_view text) {
  // A leading run of ASCII, which is all of most texts (every request body), maps to itself.
  std::size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
  std::string bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(ascii));
  if (ascii == text.size()) return bytes;
  bytes.reserve(text.size());
  EncodeEightBit(text.substr(ascii), CodePageByte, [&bytes](char b) { bytes.push_back(b); });
  return bytes;
}

std::string UnicodeToAscii(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  EncodeEightBit(
      text, [](char16_t c) { return c < 0x80 ? static_cast<int>(c) : kNoByte; },
      [&bytes](char b) { bytes.push_back(b); });
  return bytes;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      AppendUtf8(bytes, cp);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(bytes, kReplacement);
    } else {
      AppendUtf8(bytes, c);
    }
  }
  return bytes;
}

std::u16string Utf8ToUtf16(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Decoded decoded = DecodeOne(bytes, pos);
    pos += decoded.length;
    if (decoded.codePoint >= 0x10000) {
      const char32_t v = decoded.codePoint - 0x10000;
      text.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      text.push_back(static_cast<char16_t>(decoded.codePoint));
    }
  }
  return text;
}

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Decoded decoded = DecodeOne(bytes, pos);
    if (!decoded.valid) return false;
    pos += decoded.length;
  }
  return true;
}

std::u16string Utf8Repair(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  bool onlyAscii = true;
  for (const char16_t c : text) {
    const int byte = CodePageByte(c);
    // A character the code page lacks cannot stem from a byte read one per character: the
    // text already holds what the server meant.
    if (byte == kNoByte) return std::u16string(text);
    if (byte >= 0x80) onlyAscii = false;
    bytes.push_back(static_cast<char>(byte));
  }
  if (onlyAscii) return std::u16string(text);
  // Not UTF-8: the characters above 127 came as \u escapes and are right as they are.
  if (!IsValidUtf8(bytes)) return std::u16string(text);
  return Utf8ToUtf16(bytes);
}

}  // namespace velmar::text
