#include "text/html.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace velmar::text {

namespace {

struct Entity {
  std::u16string_view name;
  char16_t character;
};

// The 94 entities for the Latin-1 characters 161..172 and 174..255, in code order. Some names
// differ from the usual HTML ones (&iexl;, &brkbar;, &hibar;, &AEling;, &Ecirce;, &Icirce;,
// &aeling;, &uacude;); only these forms are recognised.
constexpr std::array<std::u16string_view, 94> kLatin1Names = {
    u"&iexl;",   u"&cent;",   u"&pound;",  u"&curren;", u"&yen;",    u"&brkbar;", u"&sect;",
    u"&uml;",    u"&copy;",   u"&ordf;",   u"&laquo;",  u"&not;",    u"&reg;",    u"&hibar;",
    u"&deg;",    u"&plusmn;", u"&sup2;",   u"&sup3;",   u"&acute;",  u"&micro;",  u"&para;",
    u"&middot;", u"&cedil;",  u"&sup1;",   u"&ordm;",   u"&raquo;",  u"&frac14;", u"&frac12;",
    u"&frac34;", u"&iquest;", u"&Agrave;", u"&Aacute;", u"&Acirc;",  u"&Atilde;", u"&Auml;",
    u"&Aring;",  u"&AEling;", u"&Ccedil;", u"&Egrave;", u"&Eacute;", u"&Ecirce;", u"&Euml;",
    u"&Igrave;", u"&Iacute;", u"&Icirce;", u"&Iuml;",   u"&ETH;",    u"&Ntilde;", u"&Ograve;",
    u"&Oacute;", u"&Ocirc;",  u"&Otilde;", u"&Ouml;",   u"&times;",  u"&Oslash;", u"&Ugrave;",
    u"&Uacute;", u"&Ucirc;",  u"&Uuml;",   u"&Yacute;", u"&THORN;",  u"&szlig;",  u"&agrave;",
    u"&aacute;", u"&acirc;",  u"&atilde;", u"&auml;",   u"&aring;",  u"&aeling;", u"&ccedil;",
    u"&egrave;", u"&eacute;", u"&ecirc;",  u"&euml;",   u"&igrave;", u"&iacute;", u"&icirc;",
    u"&iuml;",   u"&eth;",    u"&ntilde;", u"&ograve;", u"&oacute;", u"&ocirc;",  u"&otilde;",
    u"&ouml;",   u"&divide;", u"&oslash;", u"&ugrave;", u"&uacude;", u"&ucirc;",  u"&uuml;",
    u"&yacute;", u"&thorn;",  u"&yuml;",
};

constexpr std::size_t kTableSize = 101;

// The whole table, sorted by name for binary search.
std::array<Entity, kTableSize> BuildTable() {
  std::array<Entity, kTableSize> table{};
  std::size_t n = 0;
  table[n++] = {u"&quot;", u'"'};
  table[n++] = {u"&amp;", u'&'};
  table[n++] = {u"&shy;", u'*'};
  table[n++] = {u"&lt;", u'<'};
  table[n++] = {u"&gt;", u'>'};
  table[n++] = {u"&apos;", u'\''};
  table[n++] = {u"&nbsp;", u' '};  // a plain blank: the console has no use for a no-break one
  char16_t code = 161;
  for (const std::u16string_view name : kLatin1Names) {
    table[n++] = {name, code};
    code = static_cast<char16_t>(code == 172 ? 174 : code + 1);  // 173 has no entry
  }
  std::sort(table.begin(), table.end(),
            [](const Entity& a, const Entity& b) { return a.name < b.name; });
  return table;
}

constexpr std::size_t kMaxEntityDistance = 8;  // ";" this far or further after "&": no entity
// A numeric reference may be longer: "&#1114111;" and "&#x10FFFF;" name the last character.
constexpr std::size_t kMaxNumericDistance = 10;

int DigitValue(char16_t c, int base) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (base == 16 && c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (base == 16 && c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The text of a numeric character reference ("&#228;", "&#x20AC;"): the character, as a
// surrogate pair above U+FFFF. A control character is given as a blank, so that a reference
// cannot put an escape sequence or a line break into the console. Nothing when `candidate`
// is not a numeric reference or names no character.
std::optional<std::u16string> NumericReference(std::u16string_view candidate) {
  if (candidate.size() < 4 || !candidate.starts_with(u"&#") || !candidate.ends_with(u';'))
    return std::nullopt;
  std::u16string_view digits = candidate.substr(2, candidate.size() - 3);
  int base = 10;
  if (digits.front() == u'x' || digits.front() == u'X') {
    base = 16;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  char32_t code = 0;
  for (const char16_t c : digits) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    code = code * base + static_cast<char32_t>(digit);
    if (code > 0x10FFFF) return std::nullopt;
  }
  if (code >= 0xD800 && code <= 0xDFFF) return std::nullopt;
  if (code < 0x20 || (code >= 0x7F && code < 0xA0)) return u" ";
  if (code < 0x10000) return std::u16string(1, static_cast<char16_t>(code));
  const char32_t v = code - 0x10000;
  return std::u16string{static_cast<char16_t>(0xD800 + (v >> 10)),
                        static_cast<char16_t>(0xDC00 + (v & 0x3FF))};
}

// The text that one entity candidate stands for.
std::u16string EntityText(std::u16string_view candidate) {
  if (auto numeric = NumericReference(candidate)) return *std::move(numeric);
  return std::u16string(1, GiveSZ(candidate));
}

// Text with one flag per code unit: set for the characters that entities produced. An
// escaped "<" or ">" is text, never the start or end of a tag.
struct DecodedText {
  std::u16string text;
  std::vector<bool> produced;
};

DecodedText ReplaceEntities(std::u16string_view value) {
  // `text` is worked on from `pos` onwards; everything before `pos` is final and already in
  // the result. A replacement overwrites the end of its candidate and work resumes at the
  // replacement, so a produced "&" can start the next candidate.
  std::u16string text(value);
  std::vector<bool> produced(text.size(), false);
  DecodedText result;
  result.text.reserve(text.size());
  result.produced.reserve(text.size());
  const auto keep = [&](std::size_t from, std::size_t to) {
    result.text.append(text, from, to - from);
    result.produced.insert(result.produced.end(), produced.begin() + static_cast<long>(from),
                           produced.begin() + static_cast<long>(to));
  };
  std::size_t pos = 0;
  while (true) {
    const std::size_t amp = text.find(u'&', pos);
    if (amp == std::u16string::npos) break;
    const std::size_t semi = text.find(u';', amp + 1);
    if (semi == std::u16string::npos) break;
    const std::size_t start = text.rfind(u'&', semi);  // the last "&" before the ";"
    const std::u16string_view candidate = std::u16string_view(text).substr(start, semi - start + 1);
    const std::size_t distance = semi - start;
    if (distance >= kMaxEntityDistance &&
        (distance >= kMaxNumericDistance || !NumericReference(candidate))) {
      keep(pos, start + 1);
      pos = start + 1;
      continue;
    }
    keep(pos, start);
    // The replacement (one or two code units) takes the place of the candidate's last units,
    // which a candidate of at least that length always has; nothing after it moves.
    const std::u16string replacement = EntityText(candidate);
    pos = semi + 1 - replacement.size();
    for (std::size_t i = 0; i < replacement.size(); ++i) {
      text[pos + i] = replacement[i];
      produced[pos + i] = true;
    }
  }
  keep(pos, text.size());
  return result;
}

// What a tag stands for in plain text: closing tags of blocks end a line, closing tags of
// table cells leave a blank between the cells; every other tag leaves nothing.
std::u16string_view TagText(std::u16string_view tag) {
  if (!tag.starts_with(u'/')) return {};
  std::u16string name;
  for (std::size_t i = 1; i < tag.size() && tag[i] > u' '; ++i) {
    char16_t c = tag[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    name.push_back(c);
  }
  static constexpr std::array<std::u16string_view, 13> kLineEnders = {
      u"p", u"h1", u"h2", u"h3", u"h4", u"h5", u"h6", u"div", u"tr", u"li", u"table", u"ul", u"ol"};
  if (std::find(kLineEnders.begin(), kLineEnders.end(), name) != kLineEnders.end()) return u"\n";
  if (name == u"td" || name == u"th") return u" ";
  return {};
}

}  // namespace

char16_t GiveSZ(std::u16string_view hcode) {
  static const std::array<Entity, kTableSize> kTable = BuildTable();
  const auto it = std::lower_bound(
      kTable.begin(), kTable.end(), hcode,
      [](const Entity& entity, std::u16string_view key) { return entity.name < key; });
  return it != kTable.end() && it->name == hcode ? it->character : u' ';
}

std::u16string ReplaceHTMLChar(std::u16string_view value) {
  return ReplaceEntities(value).text;
}

std::u16string Html2Txt(std::u16string_view html) {
  const DecodedText decoded = ReplaceEntities(html);
  const std::u16string& text = decoded.text;

  std::u16string plain;
  plain.reserve(text.size());
  bool inTag = false;
  std::size_t tagStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool markup = !decoded.produced[i];
    if (!inTag && c == u'<' && markup) {
      inTag = true;
      tagStart = i + 1;
    } else if (inTag && c == u'>' && markup) {
      inTag = false;
      plain += TagText(std::u16string_view(text).substr(tagStart, i - tagStart));
    } else if (!inTag) {
      plain.push_back(c);
    }
  }

  // Lines end at CR, LF or CR LF; the empty lines that the split may leave are dropped anyway.
  std::u16string result;
  result.reserve(plain.size() + 2);
  std::size_t start = 0;
  while (start <= plain.size()) {
    std::size_t end = plain.find_first_of(u"\r\n", start);
    if (end == std::u16string::npos) end = plain.size();
    std::size_t first = start;
    std::size_t last = end;
    while (first < last && plain[first] <= 32) ++first;
    while (last > first && plain[last - 1] <= 32) --last;
    if (first < last) {
      result.append(plain, first, last - first);
      result.append(u"\r\n");
    }
    start = end + 1;
  }
  return result;
}

}  // namespace velmar::text
