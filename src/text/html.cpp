#include "text/html.h"

#include <algorithm>
#include <array>
#include <utility>

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

// The whole table, sorted by name for binary search.
std::array<Entity, 97> BuildTable() {
  std::array<Entity, 97> table{};
  std::size_t n = 0;
  table[n++] = {u"&quot;", u'"'};
  table[n++] = {u"&amp;", u'&'};
  table[n++] = {u"&shy;", u'*'};
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

}  // namespace

char16_t GiveSZ(std::u16string_view hcode) {
  static const std::array<Entity, 97> kTable = BuildTable();
  const auto it = std::lower_bound(
      kTable.begin(), kTable.end(), hcode,
      [](const Entity& entity, std::u16string_view key) { return entity.name < key; });
  return it != kTable.end() && it->name == hcode ? it->character : u' ';
}

std::u16string ReplaceHTMLChar(std::u16string_view value) {
  // `text` is worked on from `pos` onwards; everything before `pos` is final and already in
  // `result`. A replacement overwrites the ";" with the new character and resumes there, so a
  // produced "&" can start the next candidate.
  std::u16string text(value);
  std::u16string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t amp = text.find(u'&', pos);
    if (amp == std::u16string::npos) break;
    const std::size_t semi = text.find(u';', amp + 1);
    if (semi == std::u16string::npos) break;
    const std::size_t start = text.rfind(u'&', semi);  // the last "&" before the ";"
    if (semi - start >= kMaxEntityDistance) {
      result.append(text, pos, start + 1 - pos);
      pos = start + 1;
      continue;
    }
    result.append(text, pos, start - pos);
    text[semi] = GiveSZ(std::u16string_view(text).substr(start, semi - start + 1));
    pos = semi;
  }
  result.append(text, pos, std::u16string::npos);
  return result;
}

std::u16string Html2Txt(std::u16string_view html) {
  const std::u16string text = ReplaceHTMLChar(html);

  std::u16string plain;
  plain.reserve(text.size());
  bool inTag = false;
  for (const char16_t c : text) {
    if (!inTag && c == u'<') {
      inTag = true;
    } else if (inTag && c == u'>') {
      inTag = false;
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
