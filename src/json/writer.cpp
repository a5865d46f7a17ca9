#include "json/writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "json/node.h"

namespace velmar::json {

namespace {

using detail::Node;

// The number texts, in ASCII. Each fits in kNumberChars.
constexpr std::size_t kNumberChars = 32;

// The decimal digits of 00 to 99.
constexpr auto kDigitPairs = [] {
  std::array<char16_t, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char16_t>(u'0' + i / 10);
    pairs[2 * i + 1] = static_cast<char16_t>(u'0' + i % 10);
  }
  return pairs;
}();

// The number of decimal digits of `value`: its bit length gives the power of ten it is at
// most one above.
std::size_t DecimalDigits(std::uint64_t value) {
  static constexpr auto kPowers = [] {
    std::array<std::uint64_t, 20> powers{};
    powers[0] = 1;
    for (std::size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
  }();
  const auto guess = static_cast<std::size_t>(std::bit_width(value | 1) * 1233 >> 12);
  return guess + 1 - ((value | 1) < kPowers[guess] ? 1 : 0);
}

std::uint64_t Magnitude(std::int64_t value) {
  return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

// Writes `value` in decimal at `out` (room for kNumberChars) and returns the end.
char16_t* PutInteger(char16_t* out, std::int64_t value) {
  std::uint64_t magnitude = Magnitude(value);
  if (value < 0) *out++ = u'-';
  char16_t* end = out + DecimalDigits(magnitude);
  char16_t* at = end;
  while (magnitude >= 100) {
    const auto pair = static_cast<std::size_t>(magnitude % 100) * 2;
    magnitude /= 100;
    *--at = kDigitPairs[pair + 1];
    *--at = kDigitPairs[pair];
  }
  if (magnitude >= 10) {
    *--at = kDigitPairs[magnitude * 2 + 1];
    *--at = kDigitPairs[magnitude * 2];
  } else {
    *--at = static_cast<char16_t>(u'0' + magnitude);
  }
  return end;
}

// 15 significant digits, plain form for decimal exponents from -3 to 15, else scientific.
char* FormatFloat(char* out, double value) {
  if (value == 0) {
    *out++ = '0';
    return out;
  }
  if (!std::isfinite(value)) {
    constexpr char kNull[] = "null";  // JSON has no text for these
    return std::copy(kNull, kNull + 4, out);
  }
  // d.dddddddddddddde±x: the value rounded to 15 significant digits.
  char sci[40];
  const char* sciEnd =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific, 14).ptr;
  const char* ePos = std::find(static_cast<const char*>(sci), sciEnd, 'e');
  const char* expStart = ePos + 1;
  if (*expStart == '+') ++expStart;  // from_chars takes a "-" but no "+"
  int exponent10 = 0;
  std::from_chars(expStart, sciEnd, exponent10);
  char digits[16];
  int n = 0;
  for (const char* p = sci; p != ePos; ++p)
    if (*p != '.') digits[n++] = *p;
  while (n > 1 && digits[n - 1] == '0') --n;
  const int e = exponent10 + 1;  // value = 0.d1...dn * 10^e

  if (value < 0) *out++ = '-';
  if (e > 15 || e < -3) {
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      out = std::copy(digits + 1, digits + n, out);
    }
    *out++ = 'E';
    if (e - 1 < 0) *out++ = '-';
    return std::to_chars(out, out + 8, std::abs(e - 1)).ptr;
  }
  if (e <= 0) {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, -e, '0');
    return std::copy(digits, digits + n, out);
  }
  if (n <= e) {
    out = std::copy(digits, digits + n, out);
    return std::fill_n(out, e - n, '0');
  }
  out = std::copy(digits, digits + e, out);
  *out++ = '.';
  return std::copy(digits + e, digits + n, out);
}

// Plain decimal with at most four decimals, without trailing zeros.
char* FormatCurrency(char* out, std::int64_t tenThousandths) {
  const std::uint64_t magnitude = tenThousandths < 0
                                      ? 0 - static_cast<std::uint64_t>(tenThousandths)
                                      : static_cast<std::uint64_t>(tenThousandths);
  if (tenThousandths < 0) *out++ = '-';
  out = std::to_chars(out, out + 24, magnitude / 10000).ptr;
  unsigned fraction = static_cast<unsigned>(magnitude % 10000);
  if (fraction == 0) return out;
  char decimals[4];
  for (int i = 3; i >= 0; --i, fraction /= 10) decimals[i] = static_cast<char>('0' + fraction % 10);
  int n = 4;
  while (decimals[n - 1] == '0') --n;
  *out++ = '.';
  return std::copy(decimals, decimals + n, out);
}

enum class Escaping { kFull, kMinimal, kDocument };

// For each ASCII code unit, how full escaping writes it: 0 as it is, 'u' as \u00xx, any other
// letter as a backslash and that letter.
constexpr auto kFullEscapes = [] {
  std::array<char, 128> table{};
  for (int c = 0; c < 32; ++c) table[c] = 'u';
  table[8] = 'b';
  table[9] = 't';
  table[10] = 'n';
  table[12] = 'f';
  table[13] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  table['/'] = '/';
  return table;
}();

constexpr char16_t kHexDigits[] = u"0123456789abcdef";

char16_t* PutUnicodeEscape(char16_t* out, char16_t c) {
  out[0] = u'\\';
  out[1] = u'u';
  out[2] = kHexDigits[(c >> 12) & 15];
  out[3] = kHexDigits[(c >> 8) & 15];
  out[4] = kHexDigits[(c >> 4) & 15];
  out[5] = kHexDigits[c & 15];
  return out + 6;
}

// Full escaping: printable ASCII stays, everything else becomes an escape.
char16_t* PutFullEscaped(char16_t* out, std::u16string_view text) {
  for (const char16_t c : text) {
    const char escape = c < 128 ? kFullEscapes[c] : 'u';
    if (escape == 0) {
      *out++ = c;
    } else if (escape != 'u') {
      *out++ = u'\\';
      *out++ = static_cast<char16_t>(escape);
    } else {
      out = PutUnicodeEscape(out, c);
    }
  }
  return out;
}

// Minimal escaping: only NUL, the double quote and the backslash.
char16_t* PutMinimalEscaped(char16_t* out, std::u16string_view text) {
  for (const char16_t c : text) {
    if (c == 0) {
      out = PutUnicodeEscape(out, c);
      continue;
    }
    if (c == u'"' || c == u'\\') *out++ = u'\\';
    *out++ = c;
  }
  return out;
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// Whether the unit at `i` is escaped in a document sent as UTF-8: what JSON forbids raw and
// what could act on a terminal or trip up a reader (DEL, C1, U+2028/9, lone surrogates).
bool NeedsDocumentEscape(std::u16string_view text, std::size_t i) {
  const char16_t c = text[i];
  if (c < 0x7F) return kFullEscapes[c] != 0 && c != u'/';
  if (c <= 0x9F || c == 0x2028 || c == 0x2029) return true;
  if (IsHighSurrogate(c)) return i + 1 >= text.size() || !IsLowSurrogate(text[i + 1]);
  if (IsLowSurrogate(c)) return i == 0 || !IsHighSurrogate(text[i - 1]);
  return false;
}

// The letter of the two-unit escape of `c` (\n, \"), or 0 when it has none.
char ShortEscape(char16_t c) {
  const char escape = c < 128 ? kFullEscapes[c] : 0;
  return escape == 'u' ? 0 : escape;
}

// Document escaping: short forms where JSON has them, \u for the rest of what needs one.
char16_t* PutDocumentEscaped(char16_t* out, std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (!NeedsDocumentEscape(text, i)) {
      *out++ = c;
    } else if (const char letter = ShortEscape(c); letter != 0) {
      *out++ = u'\\';
      *out++ = static_cast<char16_t>(letter);
    } else {
      out = PutUnicodeEscape(out, c);
    }
  }
  return out;
}

// How many units the escaped text of `text` takes.
std::size_t EscapedLength(std::u16string_view text, Escaping escaping) {
  std::size_t units = text.size();
  switch (escaping) {
    case Escaping::kFull:
      for (const char16_t c : text) {
        const char escape = c < 128 ? kFullEscapes[c] : 'u';
        units += escape == 0 ? 0 : escape == 'u' ? 5 : 1;
      }
      break;
    case Escaping::kMinimal:
      for (const char16_t c : text) units += c == 0 ? 5 : (c == u'"' || c == u'\\') ? 1 : 0;
      break;
    case Escaping::kDocument:
      for (std::size_t i = 0; i < text.size(); ++i) {
        if (NeedsDocumentEscape(text, i)) units += ShortEscape(text[i]) != 0 ? 1 : 5;
      }
      break;
  }
  return units;
}

char16_t* PutEscaped(char16_t* out, std::u16string_view text, Escaping escaping) {
  switch (escaping) {
    case Escaping::kFull:
      return PutFullEscaped(out, text);
    case Escaping::kMinimal:
      return PutMinimalEscaped(out, text);
    case Escaping::kDocument:
      return PutDocumentEscaped(out, text);
  }
  return out;
}

std::size_t IntegerLength(std::int64_t value) {
  return DecimalDigits(Magnitude(value)) + (value < 0 ? 1 : 0);
}

// The longest number text of a double ("-1.23456789012345E-308") or a fixed-point value.
constexpr std::size_t kMaxNumberUnits = 22;

// Takes the pieces of a value's text and counts how many units they need at most: exactly,
// but for doubles and fixed-point values, which are counted at their longest.
class Measure {
 public:
  explicit Measure(Escaping escaping) : escaping_(escaping) {}
  std::size_t units() const { return units_; }

  void Mark(char16_t) { ++units_; }
  void Literal(std::string_view word) { units_ += word.size(); }
  void Integer(std::int64_t value) { units_ += IntegerLength(value); }
  void Double(double) { units_ += kMaxNumberUnits; }
  void Currency(std::int64_t) { units_ += kMaxNumberUnits; }
  void String(std::u16string_view text) { units_ += 2 + EscapedLength(text, escaping_); }

 private:
  Escaping escaping_;
  std::size_t units_ = 0;
};

// Takes the pieces of a value's text and writes them into room measured ahead.
class Print {
 public:
  Print(Escaping escaping, char16_t* out) : escaping_(escaping), at_(out) {}
  char16_t* end() const { return at_; }

  void Mark(char16_t unit) { *at_++ = unit; }
  void Literal(std::string_view word) { at_ = std::copy(word.begin(), word.end(), at_); }
  void Integer(std::int64_t value) { at_ = PutInteger(at_, value); }
  void Double(double value) {
    char number[kNumberChars];
    at_ = std::copy(number, FormatFloat(number, value), at_);
  }
  void Currency(std::int64_t tenThousandths) {
    char number[kNumberChars];
    at_ = std::copy(number, FormatCurrency(number, tenThousandths), at_);
  }
  void String(std::u16string_view text) {
    *at_++ = u'"';
    at_ = PutEscaped(at_, text, escaping_);
    *at_++ = u'"';
  }

 private:
  Escaping escaping_;
  char16_t* at_;
};

// Walks a value in the order of its text and hands the pieces to `Out` (Measure or Print):
// brackets, separators, scalars and strings. Containers are a stack rather than a recursion,
// so that nesting cannot exhaust the stack; a container met again inside itself raises.
template <typename Out>
class Walker {
 public:
  explicit Walker(Out& out) : out_(out) {}

  void Walk(Node* root) {
    try {
      WriteOrOpen(root);
      while (!stack_.empty()) Step();
    } catch (...) {
      for (const Frame& frame : stack_) frame.node->processing = false;
      throw;
    }
  }

 private:
  struct Frame {
    Node* node;
    std::size_t next;
  };

  // Hands on the members or elements of the innermost open container up to the next container
  // among them, which it opens, or to the end, where it closes it.
  void Step() {
    Frame& frame = stack_.back();
    Node* node = frame.node;
    if (node->type == JsonType::stObject) {
      const JsonTable& table = detail::TableOf(node);
      const auto* members = detail::Access::Members(table);
      for (const std::size_t count = detail::Access::Count(table); frame.next < count;) {
        const auto& member = members[frame.next++];
        if (frame.next > 1) out_.Mark(u',');
        out_.String(member.Name());
        out_.Mark(u':');
        if (!WriteOrOpen(member.value.node())) return;  // `frame` is no longer the last
      }
      return Close(u'}');
    }
    const JsonArray& array = detail::ArrayOf(node);
    const JsonValue* items = detail::Access::Items(array);
    for (const std::size_t count = array.Length(); frame.next < count;) {
      Node* item = items[frame.next++].node();
      if (frame.next > 1) out_.Mark(u',');
      if (item != nullptr && item->type == JsonType::stInt) {
        out_.Integer(item->integer);  // the common list of IDs, without the general way
      } else if (!WriteOrOpen(item)) {
        return;
      }
    }
    Close(u']');
  }

  void Close(char16_t bracket) {
    out_.Mark(bracket);
    stack_.back().node->processing = false;
    stack_.pop_back();
  }

  // Hands on a scalar whole and returns true; for a container hands on its opening bracket,
  // pushes it and returns false.
  bool WriteOrOpen(Node* node) {
    if (node == nullptr) {
      out_.Literal("null");
      return true;
    }
    switch (node->type) {
      case JsonType::stNull:
        out_.Literal("null");
        return true;
      case JsonType::stBoolean:
        out_.Literal(node->boolean ? "true" : "false");
        return true;
      case JsonType::stInt:
        out_.Integer(node->integer);
        return true;
      case JsonType::stDouble:
        out_.Double(node->dbl);
        return true;
      case JsonType::stCurrency:
        out_.Currency(node->integer);
        return true;
      case JsonType::stString:
        out_.String(detail::TextOf(node));
        return true;
      case JsonType::stObject:
      case JsonType::stArray:
        break;
      default:
        return true;
    }
    if (node->processing) throw Error("Cannot write a JSON value that contains itself");
    node->processing = true;
    stack_.push_back(Frame{node, 0});
    out_.Mark(node->type == JsonType::stObject ? u'{' : u'[');
    return false;
  }

  Out& out_;
  std::vector<Frame> stack_;
};

std::u16string NumberText(const char* first, const char* last) {
  return std::u16string(first, last);
}

std::u16string Write(const JsonValue& value, Escaping escaping) {
  if (!value) return {};
  // The text is measured first and then written into a string of that size: one allocation,
  // no copy, and no more memory than the text at any time.
  Measure measure(escaping);
  Walker<Measure>(measure).Walk(value.node());
  std::u16string text(measure.units(), u'\0');
  Print print(escaping, text.data());
  Walker<Print>(print).Walk(value.node());
  text.resize(static_cast<std::size_t>(print.end() - text.data()));
  // Many doubles written much shorter than their longest leave much room unused.
  if (text.capacity() > 4096 && text.size() < text.capacity() / 4 * 3) text.shrink_to_fit();
  return text;
}

}  // namespace

std::u16string AsJson(const JsonValue& value, bool escape) {
  return Write(value, escape ? Escaping::kFull : Escaping::kMinimal);
}

std::u16string AsJsonDocument(const JsonValue& value) {
  return Write(value, Escaping::kDocument);
}

std::u16string FloatToJson(double value) {
  char number[kNumberChars];
  return NumberText(number, FormatFloat(number, value));
}

std::u16string CurrToJson(std::int64_t tenThousandths) {
  char number[kNumberChars];
  return NumberText(number, FormatCurrency(number, tenThousandths));
}

}  // namespace velmar::json
