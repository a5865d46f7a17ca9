#include "json/writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
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

// Writes `value` in decimal at `out` (room for kNumberChars) and returns the end.
char16_t* PutInteger(char16_t* out, std::int64_t value) {
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  if (value < 0) *out++ = u'-';
  int digits = 1;
  for (std::uint64_t rest = magnitude; rest >= 10; rest /= 10) ++digits;
  char16_t* end = out + digits;
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

// The text being written: raw writes into room made ahead, in a buffer of the writer's own
// while the text is short and in a heap buffer that grows in place where it can (realloc)
// when it is longer. The result is copied out once, at its final length.
class Output {
 public:
  Output() = default;
  ~Output() {
    if (begin_ != small_) std::free(begin_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Room for `count` more code units at the returned position; Advance to where writing ended.
  char16_t* Room(std::size_t count) {
    if (static_cast<std::size_t>(limit_ - at_) < count) Grow(count);
    return at_;
  }
  void Advance(char16_t* to) { at_ = to; }

  void Put(char16_t unit) {
    *Room(1) = unit;
    ++at_;
  }
  void PutAscii(const char* first, const char* last) {
    at_ = std::copy(first, last, Room(static_cast<std::size_t>(last - first)));
  }

  std::u16string Take() const { return std::u16string(begin_, at_); }

 private:
  void Grow(std::size_t count) {
    const auto used = static_cast<std::size_t>(at_ - begin_);
    const auto capacity = static_cast<std::size_t>(limit_ - begin_);
    const std::size_t size = std::max({used + count, capacity * 2, std::size_t{1024}});
    if (size > SIZE_MAX / sizeof(char16_t)) throw std::bad_alloc();
    void* grown = begin_ == small_ ? std::malloc(size * sizeof(char16_t))
                                   : std::realloc(begin_, size * sizeof(char16_t));
    if (grown == nullptr) throw std::bad_alloc();
    if (begin_ == small_) std::copy(small_, at_, static_cast<char16_t*>(grown));
    begin_ = static_cast<char16_t*>(grown);
    at_ = begin_ + used;
    limit_ = begin_ + size;
  }

  char16_t small_[128];
  char16_t* begin_ = small_;
  char16_t* at_ = small_;
  char16_t* limit_ = small_ + std::size(small_);
};

// Texts are escaped in runs of this many code units, each of which may take six.
constexpr std::size_t kRunUnits = 1024;

char16_t* PutUnicodeEscape(char16_t* out, char16_t c) {
  out[0] = u'\\';
  out[1] = u'u';
  out[2] = kHexDigits[(c >> 12) & 15];
  out[3] = kHexDigits[(c >> 8) & 15];
  out[4] = kHexDigits[(c >> 4) & 15];
  out[5] = kHexDigits[c & 15];
  return out + 6;
}

// Writes `text` unit by unit through `escapeUnit(out, unit)`, which writes at most six units
// at `out` and returns where it ended.
template <typename EscapeUnit>
void PutEscaped(Output& output, std::u16string_view text, EscapeUnit escapeUnit) {
  const char16_t* in = text.data();
  const char16_t* const end = in + text.size();
  while (in != end) {
    const char16_t* stop =
        in + std::min<std::size_t>(static_cast<std::size_t>(end - in), kRunUnits);
    char16_t* out = output.Room(static_cast<std::size_t>(stop - in) * 6);
    for (; in != stop; ++in) out = escapeUnit(out, *in);
    output.Advance(out);
  }
}

// Full escaping: printable ASCII stays, everything else becomes an escape.
void PutFullEscaped(Output& output, std::u16string_view text) {
  PutEscaped(output, text, [](char16_t* out, char16_t c) {
    const char escape = c < 128 ? kFullEscapes[c] : 'u';
    if (escape == 0) {
      *out++ = c;
    } else if (escape != 'u') {
      *out++ = u'\\';
      *out++ = static_cast<char16_t>(escape);
    } else {
      out = PutUnicodeEscape(out, c);
    }
    return out;
  });
}

// Minimal escaping: only NUL, the double quote and the backslash.
void PutMinimalEscaped(Output& output, std::u16string_view text) {
  PutEscaped(output, text, [](char16_t* out, char16_t c) {
    if (c == 0) return PutUnicodeEscape(out, c);
    if (c == u'"' || c == u'\\') *out++ = u'\\';
    *out++ = c;
    return out;
  });
}

class Writer {
 public:
  explicit Writer(bool escape) : escape_(escape) {}

  void Write(Node* root) {
    try {
      WriteOrOpen(root);
      while (!stack_.empty()) Step();
    } catch (...) {
      for (const Frame& frame : stack_) frame.node->processing = false;
      throw;
    }
  }

  std::u16string Take() { return out_.Take(); }

 private:
  struct Frame {
    Node* node;
    std::size_t next;
  };

  // Writes the members or elements of the innermost open container up to the next container
  // among them, which it opens, or to the end, where it closes it.
  void Step() {
    Frame& frame = stack_.back();
    Node* node = frame.node;
    if (node->type == JsonType::stObject) {
      const JsonTable& table = detail::TableOf(node);
      const auto* members = detail::Access::Members(table);
      for (const std::size_t count = detail::Access::Count(table); frame.next < count;) {
        const auto& member = members[frame.next++];
        if (frame.next > 1) out_.Put(u',');
        PutString(member.Name());
        out_.Put(u':');
        if (!WriteOrOpen(member.value.node())) return;  // `frame` is no longer the last
      }
      return Close(u'}');
    }
    const JsonArray& array = detail::ArrayOf(node);
    const JsonValue* items = detail::Access::Items(array);
    for (const std::size_t count = array.Length(); frame.next < count;) {
      Node* item = items[frame.next++].node();
      if (item != nullptr && item->type == JsonType::stInt) {
        // The common list of IDs: the comma and the number in one go.
        char16_t* out = out_.Room(kNumberChars + 1);
        if (frame.next > 1) *out++ = u',';
        out_.Advance(PutInteger(out, item->integer));
        continue;
      }
      if (frame.next > 1) out_.Put(u',');
      if (!WriteOrOpen(item)) return;
    }
    Close(u']');
  }

  void Close(char16_t bracket) {
    out_.Put(bracket);
    stack_.back().node->processing = false;
    stack_.pop_back();
  }

  // Writes a scalar whole and returns true; for a container writes its opening bracket, pushes
  // it and returns false.
  bool WriteOrOpen(Node* node) {
    char number[kNumberChars];
    if (node == nullptr) {
      out_.PutAscii("null", "null" + 4);
      return true;
    }
    switch (node->type) {
      case JsonType::stNull:
        out_.PutAscii("null", "null" + 4);
        return true;
      case JsonType::stBoolean:
        if (node->boolean) {
          out_.PutAscii("true", "true" + 4);
        } else {
          out_.PutAscii("false", "false" + 5);
        }
        return true;
      case JsonType::stInt:
        out_.Advance(PutInteger(out_.Room(kNumberChars), node->integer));
        return true;
      case JsonType::stDouble:
        out_.PutAscii(number, FormatFloat(number, node->dbl));
        return true;
      case JsonType::stCurrency:
        out_.PutAscii(number, FormatCurrency(number, node->integer));
        return true;
      case JsonType::stString:
        PutString(detail::TextOf(node));
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
    out_.Put(node->type == JsonType::stObject ? u'{' : u'[');
    return false;
  }

  void PutString(std::u16string_view text) {
    out_.Put(u'"');
    if (escape_) {
      PutFullEscaped(out_, text);
    } else {
      PutMinimalEscaped(out_, text);
    }
    out_.Put(u'"');
  }

  bool escape_;
  Output out_;
  std::vector<Frame> stack_;
};

std::u16string NumberText(const char* first, const char* last) {
  return std::u16string(first, last);
}

}  // namespace

std::u16string AsJson(const JsonValue& value, bool escape) {
  if (!value) return {};
  Writer writer(escape);
  writer.Write(value.node());
  return writer.Take();
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
