#include "json/reader.h"

#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "json/node.h"

namespace velmar::json {

namespace {

using detail::Node;

// A value may be enclosed by at most this many arrays and objects.
constexpr int kMaxLevel = 31;

enum class Context { kTop, kArray, kObject };

inline char16_t Unit(char16_t c) {
  return c;
}
inline char16_t Unit(char c) {
  return detail::CodePageUnit(static_cast<unsigned char>(c));
}

bool IsWhite(char16_t c) {
  return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

bool IsNumberChar(char16_t c) {
  return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'E' || c == u'e';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Characters that cannot begin an unquoted member name.
bool EndsOrCannotStartName(char16_t c) {
  switch (c) {
    case 0:
    case 8:
    case 9:
    case 10:
    case 12:
    case 13:
    case 32:
    case u'"':
    case u'(':
    case u')':
    case u',':
    case u'.':
    case u':':
    case u'[':
    case u']':
    case u'{':
    case u'}':
      return true;
    default:
      return false;
  }
}

// A character after "true", "false" or "null" that makes the word a bare word instead.
bool ContinuesWord(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u'.' || c > 255;
}

// One parse over a text of code units `Ch`: char16_t (UTF-16) or char (Windows-1252 bytes).
// Recursive descent; the nesting limit bounds the recursion. Errors return an empty handle.
template <typename Ch>
class Parser {
 public:
  Parser(const Ch* begin, const Ch* end)
      : p_(begin),
        end_(end),
        arena_(detail::Arena::Create(static_cast<std::size_t>(end - begin))) {}
  ~Parser() {
    items_.clear();
    members_.clear();
    Flush();
    arena_->Seal();
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  JsonValue Run() {
    JsonValue value;
    if (SkipWhite()) {
      value = ParseValue(0, Context::kTop);
      if (value) {
        JsonType type = value.node()->type;
        bool delimited = type == JsonType::stObject || type == JsonType::stArray ||
                         (type == JsonType::stString && delimitedString_);
        if (delimited && !SkipWhite()) value = JsonValue();
      }
    }
    Flush();
    return value;
  }

  // Adds the values created so far to the live count.
  void Flush() {
    detail::CountCreated(created_);
    created_ = 0;
  }

 private:
  // The current code unit; 0 at the end of the text (and at a NUL, which ends it too).
  char16_t Peek() const { return p_ < end_ ? Unit(*p_) : 0; }
  char16_t PeekAt(std::size_t ahead) const {
    for (std::size_t i = 0; i < ahead; ++i)
      if (p_ + i >= end_ || *(p_ + i) == 0) return 0;
    return p_ + ahead < end_ ? Unit(*(p_ + ahead)) : 0;
  }

  // A new node of type N in the arena.
  template <typename N, typename... Args>
  N* New(Args&&... args) {
    ++created_;
    return new (arena_->Allocate(sizeof(N))) N(std::forward<Args>(args)..., arena_);
  }

  JsonValue Scalar(JsonType type) { return JsonValue::Adopt(New<Node>(type)); }
  JsonValue String(std::u16string text) {
    return JsonValue::Adopt(New<detail::StringNode>(std::move(text)));
  }

  // Skips white space and comments. False for a "/" that starts no comment, or a comment
  // that the text ends in.
  bool SkipWhite() {
    for (;;) {
      char16_t c = Peek();
      if (IsWhite(c)) {
        ++p_;
        continue;
      }
      if (c != u'/') return true;
      char16_t next = PeekAt(1);
      if (next == u'*') {
        p_ += 2;
        for (;;) {
          char16_t d = Peek();
          if (d == 0) return false;
          ++p_;
          if (d == u'*' && Peek() == u'/') {
            ++p_;
            break;
          }
        }
      } else if (next == u'/') {
        p_ += 2;
        for (;;) {
          char16_t d = Peek();
          if (d == 0) return false;
          ++p_;
          if (d == u'\n') break;
        }
      } else {
        return false;
      }
    }
  }

  JsonValue ParseValue(int level, Context context) {
    if (level > kMaxLevel) return {};
    char16_t c = Peek();
    switch (c) {
      case u'{':
        return ParseObject(level);
      case u'[':
        return ParseArray(level);
      case u'"':
      case u'\'': {
        std::u16string text;
        if (!ReadQuoted(c, text)) return {};
        delimitedString_ = level == 0;
        return String(std::move(text));
      }
      case u'-':
      case u'0':
      case u'1':
      case u'2':
      case u'3':
      case u'4':
      case u'5':
      case u'6':
      case u'7':
      case u'8':
      case u'9':
        return ParseNumber();
      case u't':
      case u'f':
      case u'n':
        if (JsonValue literal = ParseLiteral(); literal) return literal;
        break;
      default:
        break;
    }
    return ParseBareWord(context);
  }

  JsonValue ParseObject(int level) {
    ++p_;  // {
    auto* node = New<detail::ObjectNode>();
    JsonValue object = JsonValue::Adopt(node);
    if (!SkipWhite()) return {};
    if (Peek() == u'}') {
      ++p_;
      return object;
    }
    Truncate<JsonTable::Entry> scope{members_, members_.size()};
    for (;;) {
      std::u16string name;
      char16_t c = Peek();
      if (c == u'"' || c == u'\'') {
        if (!ReadQuoted(c, name) || !SkipWhite() || Peek() != u':') return {};
        ++p_;
      } else {
        if (EndsOrCannotStartName(c)) return {};
        // An unquoted name runs up to the colon, spaces included.
        const Ch* start = p_;
        while (Peek() != u':') {
          if (Peek() == 0) return {};
          ++p_;
        }
        AppendRange(name, start, p_);
        ++p_;
      }
      if (!SkipWhite()) return {};
      JsonValue value = ParseValue(level + 1, Context::kObject);
      if (!value || !SkipWhite()) return {};
      std::uint32_t hash = JsonTable::Hash(name);
      members_.push_back(JsonTable::Entry{hash, std::move(name), std::move(value)});
      c = Peek();
      if (c == u'}') break;
      if (c != u',') return {};
      ++p_;
      if (!SkipWhite()) return {};
      if (Peek() == u'}') break;  // a trailing comma
    }
    ++p_;  // }
    auto first = members_.begin() + static_cast<std::ptrdiff_t>(scope.base);
    detail::Access::Entries(node->table)
        .assign(std::make_move_iterator(first), std::make_move_iterator(members_.end()));
    detail::Access::FinishAppend(node->table);
    return object;
  }

  JsonValue ParseArray(int level) {
    ++p_;  // [
    auto* node = New<detail::ArrayNode>();
    JsonValue array = JsonValue::Adopt(node);
    if (!SkipWhite()) return {};
    if (Peek() == u']') {
      ++p_;
      return array;
    }
    // Elements collect on a stack shared by all levels and move into the array at its end,
    // so that each array is allocated once at its final size.
    Truncate<JsonValue> scope{items_, items_.size()};
    for (;;) {
      JsonValue value = ParseValue(level + 1, Context::kArray);
      if (!value || !SkipWhite()) return {};
      items_.push_back(std::move(value));
      char16_t c = Peek();
      if (c == u']') break;
      if (c != u',') return {};
      ++p_;
      if (!SkipWhite()) return {};
      if (Peek() == u']') break;  // a trailing comma
    }
    ++p_;  // ]
    auto first = items_.begin() + static_cast<std::ptrdiff_t>(scope.base);
    detail::Access::Items(node->array)
        .assign(std::make_move_iterator(first), std::make_move_iterator(items_.end()));
    return array;
  }

  static void AppendRange(std::u16string& to, const Ch* first, const Ch* last) {
    std::size_t at = to.size();
    to.resize(at + static_cast<std::size_t>(last - first));
    for (char16_t* out = to.data() + at; first != last; ++first, ++out) *out = Unit(*first);
  }

  // After a backslash: appends the character that the escape stands for. False at the end of
  // the text or for a non-hexadecimal digit in \u or \x.
  bool ReadEscape(std::u16string& text) {
    char16_t c = Peek();
    if (c == 0) return false;
    ++p_;
    int digits = 0;
    switch (c) {
      case u'b':
        text.push_back(8);
        return true;
      case u't':
        text.push_back(9);
        return true;
      case u'n':
        text.push_back(10);
        return true;
      case u'f':
        text.push_back(12);
        return true;
      case u'r':
        text.push_back(13);
        return true;
      case u'u':
        digits = 4;
        break;
      case u'x':
        digits = 2;
        break;
      default:
        text.push_back(c);
        return true;
    }
    unsigned value = 0;
    for (int i = 0; i < digits; ++i) {
      int digit = HexValue(Peek());
      if (digit < 0) return false;
      ++p_;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    text.push_back(static_cast<char16_t>(value));
    return true;
  }

  // A string between `quote` characters, the opening one at the current position.
  bool ReadQuoted(char16_t quote, std::u16string& text) {
    ++p_;
    // Fast path: a run without escapes is copied in one go.
    const Ch* start = p_;
    const Ch rawQuote = static_cast<Ch>(quote);
    while (p_ < end_ && *p_ != rawQuote && *p_ != u'\\' && *p_ != 0) ++p_;
    AppendRange(text, start, p_);
    if (p_ < end_ && *p_ == rawQuote) {
      ++p_;
      return true;
    }
    // Escapes follow. The rest of the string decodes to at most as many characters as it has:
    // room for them is made once, so that a long string never doubles its way up (and, while
    // it moves, briefly holds three times its size).
    text.reserve(text.size() + RawLengthOfRest(rawQuote));
    for (;;) {
      char16_t c = Peek();
      if (c == 0) return false;
      ++p_;
      if (c == quote) break;
      if (c == u'\\') {
        if (!ReadEscape(text)) return false;
      } else {
        text.push_back(c);
      }
    }
    // Escapes that made the text much shorter than its room leave no large slack behind.
    if (text.capacity() > 4096 && text.size() < text.capacity() / 2) text.shrink_to_fit();
    return true;
  }

  // The number of characters from the current position up to the closing `rawQuote` (or the
  // end of the text), an escaped character counted with its backslash.
  std::size_t RawLengthOfRest(Ch rawQuote) const {
    const Ch* q = p_;
    while (q < end_ && *q != rawQuote && *q != 0) q += (*q == u'\\' && q + 1 < end_) ? 2 : 1;
    return static_cast<std::size_t>(q - p_);
  }

  JsonValue ParseNumber() {
    // Fast path: an integer of up to 18 digits, which cannot overflow.
    const Ch* q = p_;
    const bool negative = *q == '-';
    if (negative) ++q;
    const Ch* digits = q;
    std::uint64_t magnitude = 0;
    while (q < end_ && *q >= '0' && *q <= '9' && q - digits < 18)
      magnitude = magnitude * 10 + static_cast<unsigned>(*q++ - '0');
    if (q != digits && (q == end_ || !IsNumberChar(Unit(*q)))) {
      p_ = q;
      JsonValue v = Scalar(JsonType::stInt);
      v.node()->integer =
          negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
      return v;
    }
    number_.clear();
    while (IsNumberChar(Peek())) number_.push_back(static_cast<char>(Unit(*p_++)));
    return NumberValue();
  }

  // The value of the number text in number_, or no value when it is not a number. Integers
  // beyond 64 bits and fixed-point values beyond its range read as doubles.
  JsonValue NumberValue() {
    const char* s = number_.data();
    const std::size_t length = number_.size();
    std::size_t i = 0;
    if (i < length && s[i] == '-') ++i;
    std::size_t intStart = i;
    while (i < length && s[i] >= '0' && s[i] <= '9') ++i;
    std::size_t intDigits = i - intStart;
    bool point = false;
    std::size_t fracDigits = 0;
    if (i < length && s[i] == '.') {
      point = true;
      std::size_t fracStart = ++i;
      while (i < length && s[i] >= '0' && s[i] <= '9') ++i;
      fracDigits = i - fracStart;
    }
    if (intDigits + fracDigits == 0) return {};
    bool exponent = false;
    if (i < length && (s[i] == 'e' || s[i] == 'E')) {
      exponent = true;
      ++i;
      if (i < length && (s[i] == '+' || s[i] == '-')) ++i;
      std::size_t expStart = i;
      while (i < length && s[i] >= '0' && s[i] <= '9') ++i;
      if (i == expStart) return {};
    }
    if (i != length) return {};

    if (!point && !exponent) {
      std::int64_t value = 0;
      auto result = std::from_chars(s, s + length, value);
      if (result.ec == std::errc()) {
        JsonValue v = Scalar(JsonType::stInt);
        v.node()->integer = value;
        return v;
      }
    } else if (point && !exponent && fracDigits <= 4) {
      if (JsonValue v = Currency(s, intStart, intDigits, fracDigits); v) return v;
    }
    return Double(s, length);
  }

  JsonValue Currency(const char* s, std::size_t intStart, std::size_t intDigits,
                     std::size_t fracDigits) {
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
    auto addDigit = [&](char d) {
      if (magnitude > (kLimit - static_cast<unsigned>(d - '0')) / 10) return false;
      magnitude = magnitude * 10 + static_cast<unsigned>(d - '0');
      return true;
    };
    for (std::size_t k = 0; k < intDigits; ++k)
      if (!addDigit(s[intStart + k])) return {};
    for (std::size_t k = 0; k < fracDigits; ++k)
      if (!addDigit(s[intStart + intDigits + 1 + k])) return {};
    for (std::size_t k = fracDigits; k < 4; ++k)
      if (!addDigit('0')) return {};
    JsonValue v = Scalar(JsonType::stCurrency);
    v.node()->integer =
        s[0] == '-' ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return v;
  }

  JsonValue Double(const char* s, std::size_t length) {
    double value = 0;
    auto result = std::from_chars(s, s + length, value);
    if (result.ec == std::errc::result_out_of_range) {
      value = Overflows(s, length) ? std::numeric_limits<double>::infinity() : 0.0;
      if (s[0] == '-') value = -value;
    } else if (result.ec != std::errc()) {
      return {};
    }
    JsonValue v = Scalar(JsonType::stDouble);
    v.node()->dbl = value;
    return v;
  }

  // For a number out of the range of doubles: whether it is too large (rather than too small).
  static bool Overflows(const char* s, std::size_t length) {
    // The decimal exponent of the first non-zero digit decides.
    long position = 0;  // digits before the point, counted from the first non-zero digit
    bool seenNonZero = false, afterPoint = false;
    std::size_t i = s[0] == '-' ? 1 : 0;
    for (; i < length && s[i] != 'e' && s[i] != 'E'; ++i) {
      if (s[i] == '.') {
        afterPoint = true;
        continue;
      }
      if (!seenNonZero && s[i] == '0') {
        if (afterPoint) --position;
        continue;
      }
      seenNonZero = true;
      if (!afterPoint) ++position;
    }
    long exponent = 0;
    if (i < length) {
      ++i;
      bool negative = s[i] == '-';
      if (s[i] == '+' || s[i] == '-') ++i;
      for (; i < length; ++i) exponent = std::min(exponent * 10 + (s[i] - '0'), 100000L);
      if (negative) exponent = -exponent;
    }
    return position + exponent > 0;
  }

  // "true", "false" or "null" in lower case, not followed by a letter, "_", "." or a
  // character above 255. Anything else leaves the position unchanged and gives no value.
  JsonValue ParseLiteral() {
    static constexpr std::u16string_view kWords[] = {u"true", u"false", u"null"};
    char16_t first = Peek();
    std::u16string_view word = first == u't' ? kWords[0] : first == u'f' ? kWords[1] : kWords[2];
    for (std::size_t i = 0; i < word.size(); ++i)
      if (PeekAt(i) != word[i]) return {};
    if (ContinuesWord(PeekAt(word.size()))) return {};
    p_ += word.size();
    if (first == u'n') return Scalar(JsonType::stNull);
    JsonValue v = Scalar(JsonType::stBoolean);
    v.node()->boolean = first == u't';
    return v;
  }

  // A bare word: up to the end of its value, backslash escapes included, without trailing
  // line feeds, carriage returns and spaces. Inside a container the text must not end in it.
  JsonValue ParseBareWord(Context context) {
    char16_t close = context == Context::kArray ? u']' : u'}';
    std::u16string text;
    for (;;) {
      // Copy the run up to the next character of interest in one go.
      const Ch* start = p_;
      if (context == Context::kTop) {
        while (p_ < end_ && *p_ != 0 && *p_ != u'\\') ++p_;
      } else {
        while (p_ < end_ && *p_ != 0 && *p_ != u'\\' && *p_ != u',' && *p_ != close) ++p_;
      }
      AppendRange(text, start, p_);
      char16_t c = Peek();
      if (c == u'\\') {
        ++p_;
        if (!ReadEscape(text)) return {};
        continue;
      }
      if (c == 0 && context != Context::kTop) return {};
      break;
    }
    std::size_t keep = text.size();
    while (keep > 0 &&
           (text[keep - 1] == u'\n' || text[keep - 1] == u'\r' || text[keep - 1] == u' '))
      --keep;
    text.resize(keep);
    return String(std::move(text));
  }

  // Drops what a level left on a shared stack when it ends, successfully or not.
  template <typename T>
  struct Truncate {
    std::vector<T>& stack;
    std::size_t base;
    ~Truncate() { stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end()); }
  };

  const Ch* p_;
  const Ch* end_;
  detail::Arena* arena_;
  std::vector<JsonValue> items_;
  std::vector<JsonTable::Entry> members_;
  std::int64_t created_ = 0;
  bool delimitedString_ = false;  // the top-level value is a quoted string
  std::string number_;
};

}  // namespace

JsonValue ParseJson(std::u16string_view text) noexcept {
  try {
    Parser<char16_t> parser(text.data(), text.data() + text.size());
    return parser.Run();
  } catch (...) {
    return {};  // out of memory: no value, as for any text that cannot be read
  }
}

JsonValue ParseJsonCodePage(std::string_view bytes) noexcept {
  try {
    Parser<char> parser(bytes.data(), bytes.data() + bytes.size());
    return parser.Run();
  } catch (...) {
    return {};  // out of memory: no value, as for any text that cannot be read
  }
}

}  // namespace velmar::json
