#include "json/writer.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/error.h"
#include "json/node.h"

namespace velmar::json {

namespace {

using detail::Node;

void AppendAscii(std::u16string& out, const char* first, const char* last) {
  std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(last - first));
  for (char16_t* to = out.data() + at; first != last; ++first, ++to)
    *to = static_cast<unsigned char>(*first);
}

void AppendInteger(std::u16string& out, std::int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  AppendAscii(out, buffer, result.ptr);
}

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendUnicodeEscape(std::u16string& out, char16_t c) {
  char16_t escape[6] = {u'\\',
                        u'u',
                        static_cast<char16_t>(kHexDigits[(c >> 12) & 15]),
                        static_cast<char16_t>(kHexDigits[(c >> 8) & 15]),
                        static_cast<char16_t>(kHexDigits[(c >> 4) & 15]),
                        static_cast<char16_t>(kHexDigits[c & 15])};
  out.append(escape, 6);
}

// The two-character escape of `c` ("\\n" for a line feed), or 0 when it has none.
char16_t ShortEscape(char16_t c) {
  switch (c) {
    case 8:
      return u'b';
    case 9:
      return u't';
    case 10:
      return u'n';
    case 12:
      return u'f';
    case 13:
      return u'r';
    case u'"':
    case u'\\':
      return c;
    default:
      return 0;
  }
}

void AppendEscape(std::u16string& out, char16_t c, char16_t shortForm) {
  if (shortForm != 0) {
    out.push_back(u'\\');
    out.push_back(shortForm);
  } else {
    AppendUnicodeEscape(out, c);
  }
}

// Full escaping: printable ASCII stays, everything else becomes an escape.
void AppendFullEscaped(std::u16string& out, std::u16string_view text) {
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= 32 && c <= 127 && c != u'"' && c != u'\\' && c != u'/') continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    AppendEscape(out, c, c == u'/' ? c : ShortEscape(c));
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// Whether the character at `i` must be escaped in a document sent as UTF-8.
bool NeedsDocumentEscape(std::u16string_view text, std::size_t i) {
  const char16_t c = text[i];
  if (c < 32 || c == u'"' || c == u'\\') return true;
  if (c >= 0x7F && c <= 0x9F) return true;
  if (c == 0x2028 || c == 0x2029) return true;
  if (IsHighSurrogate(c)) return i + 1 >= text.size() || !IsLowSurrogate(text[i + 1]);
  if (IsLowSurrogate(c)) return i == 0 || !IsHighSurrogate(text[i - 1]);
  return false;
}

void AppendDocumentEscaped(std::u16string& out, std::u16string_view text) {
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!NeedsDocumentEscape(text, i)) continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    AppendEscape(out, text[i], ShortEscape(text[i]));
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

// Minimal escaping: only NUL, the double quote and the backslash.
void AppendMinimalEscaped(std::u16string& out, std::u16string_view text) {
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c != 0 && c != u'"' && c != u'\\') continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    if (c == 0) {
      out.append(u"\\u0000");
    } else {
      out.push_back(u'\\');
      out.push_back(c);
    }
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

void AppendFloat(std::u16string& out, double value) {
  if (value == 0) {
    out.push_back(u'0');
    return;
  }
  if (!std::isfinite(value)) {
    out.append(u"null");  // JSON has no text for these
    return;
  }
  // d.dddddddddddddde±x: the value rounded to 15 significant digits.
  char sci[40];
  const char* sciEnd =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific, 14).ptr;
  const char* ePos = sci;
  while (ePos != sciEnd && *ePos != 'e') ++ePos;
  const char* expStart = ePos + 1;
  if (*expStart == '+') ++expStart;  // from_chars takes a "-" but no "+"
  int exponent10 = 0;
  std::from_chars(expStart, sciEnd, exponent10);
  char digits[16];
  int n = 0;
  for (const char* p = sci; p != ePos; ++p)
    if (*p != '.') digits[n++] = *p;
  while (n > 1 && digits[n - 1] == '0') --n;
  // value = 0.d1...dn * 10^e
  int e = exponent10 + 1;

  if (value < 0) out.push_back(u'-');
  if (e > 15 || e < -3) {
    out.push_back(static_cast<char16_t>(digits[0]));
    if (n > 1) {
      out.push_back(u'.');
      AppendAscii(out, digits + 1, digits + n);
    }
    out.push_back(u'E');
    int shown = e - 1;
    if (shown < 0) out.push_back(u'-');
    AppendInteger(out, std::abs(shown));
  } else if (e <= 0) {
    out.append(u"0.");
    out.append(static_cast<std::size_t>(-e), u'0');
    AppendAscii(out, digits, digits + n);
  } else {
    if (n <= e) {
      AppendAscii(out, digits, digits + n);
      out.append(static_cast<std::size_t>(e - n), u'0');
    } else {
      AppendAscii(out, digits, digits + e);
      out.push_back(u'.');
      AppendAscii(out, digits + e, digits + n);
    }
  }
}

void AppendCurrency(std::u16string& out, std::int64_t tenThousandths) {
  std::uint64_t magnitude = tenThousandths < 0 ? 0 - static_cast<std::uint64_t>(tenThousandths)
                                               : static_cast<std::uint64_t>(tenThousandths);
  if (tenThousandths < 0) out.push_back(u'-');
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude / 10000);
  AppendAscii(out, buffer, result.ptr);
  unsigned fraction = static_cast<unsigned>(magnitude % 10000);
  if (fraction == 0) return;
  char decimals[4];
  for (int i = 3; i >= 0; --i, fraction /= 10) decimals[i] = static_cast<char>('0' + fraction % 10);
  int n = 4;
  while (decimals[n - 1] == '0') --n;
  out.push_back(u'.');
  AppendAscii(out, decimals, decimals + n);
}

enum class Escaping { kFull, kMinimal, kDocument };

class Writer {
 public:
  explicit Writer(Escaping escaping) : escaping_(escaping) {}

  void Write(Node* root) {
    try {
      WriteOrOpen(root);
      while (!stack_.empty()) Step();
    } catch (...) {
      for (const Frame& frame : stack_) frame.node->processing = false;
      throw;
    }
  }

  std::u16string Take() { return std::move(out_); }

 private:
  struct Frame {
    Node* node;
    std::size_t next;
  };

  void Step() {
    Frame& frame = stack_.back();
    Node* node = frame.node;
    if (node->type == JsonType::stObject) {
      const auto& entries = detail::Access::Entries(detail::TableOf(node));
      if (frame.next == entries.size()) return Close(u'}');
      const auto& entry = entries[frame.next++];
      if (frame.next > 1) out_.push_back(u',');
      AppendString(entry.name);
      out_.push_back(u':');
      WriteOrOpen(entry.value.node());
    } else {
      const auto& items = detail::Access::Items(detail::ArrayOf(node));
      if (frame.next == items.size()) return Close(u']');
      const auto& item = items[frame.next++];
      if (frame.next > 1) out_.push_back(u',');
      WriteOrOpen(item.node());
    }
  }

  void Close(char16_t bracket) {
    out_.push_back(bracket);
    stack_.back().node->processing = false;
    stack_.pop_back();
  }

  // Writes a scalar whole; for a container writes its opening bracket and pushes it.
  void WriteOrOpen(Node* node) {
    if (node == nullptr) {
      out_.append(u"null");
      return;
    }
    switch (node->type) {
      case JsonType::stNull:
        out_.append(u"null");
        return;
      case JsonType::stBoolean:
        out_.append(node->boolean ? u"true" : u"false");
        return;
      case JsonType::stInt:
        AppendInteger(out_, node->integer);
        return;
      case JsonType::stDouble:
        AppendFloat(out_, node->dbl);
        return;
      case JsonType::stCurrency:
        AppendCurrency(out_, node->integer);
        return;
      case JsonType::stString:
        AppendString(detail::TextOf(node));
        return;
      case JsonType::stObject:
      case JsonType::stArray:
        break;
      default:
        return;
    }
    if (node->processing) throw Error("Cannot write a JSON value that contains itself");
    node->processing = true;
    stack_.push_back(Frame{node, 0});
    out_.push_back(node->type == JsonType::stObject ? u'{' : u'[');
  }

  void AppendString(std::u16string_view text) {
    out_.push_back(u'"');
    switch (escaping_) {
      case Escaping::kFull:
        AppendFullEscaped(out_, text);
        break;
      case Escaping::kMinimal:
        AppendMinimalEscaped(out_, text);
        break;
      case Escaping::kDocument:
        AppendDocumentEscaped(out_, text);
        break;
    }
    out_.push_back(u'"');
  }

  Escaping escaping_;
  std::u16string out_;
  std::vector<Frame> stack_;
};

}  // namespace

namespace {

std::u16string Write(const JsonValue& value, Escaping escaping) {
  if (!value) return {};
  Writer writer(escaping);
  writer.Write(value.node());
  return writer.Take();
}

}  // namespace

std::u16string AsJson(const JsonValue& value, bool escape) {
  return Write(value, escape ? Escaping::kFull : Escaping::kMinimal);
}

std::u16string AsJsonDocument(const JsonValue& value) {
  return Write(value, Escaping::kDocument);
}

std::u16string FloatToJson(double value) {
  std::u16string out;
  AppendFloat(out, value);
  return out;
}

std::u16string CurrToJson(std::int64_t tenThousandths) {
  std::u16string out;
  AppendCurrency(out, tenThousandths);
  return out;
}

}  // namespace velmar::json
