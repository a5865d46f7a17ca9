// Html2Txt on arbitrary input: it must never crash, hang or break the shape of its result, and
// it must agree with a plain, slow model of the same steps (entities replaced in place one
// candidate at a time, tags dropped, lines split, trimmed and joined).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/encoding.h"
#include "text/html.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Every line is non-empty, trimmed and ends with CR LF.
void CheckShape(const std::u16string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(u"\r\n", start);
    Check(end != std::u16string::npos && end > start);
    Check(text[start] > 32 && text[end - 1] > 32);
    for (std::size_t i = start; i < end; ++i) {
      Check(text[i] != u'\r' && text[i] != u'\n');
    }
    start = end + 2;
  }
}

// The character a numeric reference names ("&#228;", "&#xE4;"), a blank for a control
// character; nothing when the candidate is none or names no character.
bool ModelNumeric(std::u16string_view candidate, std::u16string& out) {
  if (candidate.size() < 4 || candidate.substr(0, 2) != u"&#" || candidate.back() != u';')
    return false;
  std::string digits;
  for (const char16_t c : candidate.substr(2, candidate.size() - 3)) {
    if (c > 127) return false;
    digits += static_cast<char>(c);
  }
  int base = 10;
  if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
    base = 16;
    digits.erase(0, 1);
  }
  if (digits.empty() || digits.size() > 8) return false;
  for (const char c : digits) {
    const bool ok = base == 10 ? std::isdigit(static_cast<unsigned char>(c)) != 0
                               : std::isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return false;
  }
  const unsigned long code = std::strtoul(digits.c_str(), nullptr, base);
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
    out = u" ";
  } else if (code < 0x10000) {
    out = std::u16string(1, static_cast<char16_t>(code));
  } else {
    out = {static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)),
           static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF))};
  }
  return true;
}

// Text with a flag per character: set for the characters that entities produced.
struct Flagged {
  std::u16string text;
  std::vector<bool> produced;
};

// Entity replacement done in place on one string: each candidate runs from the last "&"
// before a ";" to that ";", is replaced when shorter than 8 characters (a numeric reference
// that names a character: shorter than 10), and the search goes on at the text put in (so a
// produced "&" can start the next candidate).
Flagged ModelReplace(std::u16string text) {
  std::vector<bool> produced(text.size(), false);
  std::size_t from = 0;
  for (;;) {
    const std::size_t amp = text.find(u'&', from);
    if (amp == std::u16string::npos) break;
    const std::size_t semi = text.find(u';', amp + 1);
    if (semi == std::u16string::npos) break;
    const std::size_t last = text.rfind(u'&', semi);
    const std::u16string_view candidate = std::u16string_view(text).substr(last, semi - last + 1);
    std::u16string replacement;
    const bool numeric = ModelNumeric(candidate, replacement);
    if (semi - last >= (numeric ? 10u : 8u)) {
      from = last + 1;
      continue;
    }
    if (!numeric) replacement = std::u16string(1, velmar::text::GiveSZ(candidate));
    text.replace(last, semi - last + 1, replacement);
    produced.erase(produced.begin() + static_cast<long>(last),
                   produced.begin() + static_cast<long>(semi + 1));
    produced.insert(produced.begin() + static_cast<long>(last), replacement.size(), true);
    from = last;
  }
  return {text, produced};
}

// What a removed tag leaves: a line end for the closing tags of blocks, a blank for those
// of table cells.
std::u16string ModelTag(const std::u16string& tag) {
  if (tag.empty() || tag[0] != u'/') return {};
  std::string name;
  for (std::size_t i = 1; i < tag.size() && tag[i] > 32; ++i) {
    const char16_t c = tag[i];
    if (c > 127) return {};
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  for (const char* block :
       {"p", "h1", "h2", "h3", "h4", "h5", "h6", "div", "tr", "li", "table", "ul", "ol"}) {
    if (name == block) return u"\n";
  }
  return name == "td" || name == "th" ? u" " : u"";
}

std::u16string ModelHtml2Txt(const std::u16string& html) {
  const Flagged replaced = ModelReplace(html);
  std::u16string plain;
  std::u16string tag;
  bool inTag = false;
  for (std::size_t i = 0; i < replaced.text.size(); ++i) {
    const char16_t c = replaced.text[i];
    const bool markup = !replaced.produced[i];
    if (c == u'<' && !inTag && markup) {
      inTag = true;
      tag.clear();
    } else if (c == u'>' && inTag && markup) {
      inTag = false;
      plain += ModelTag(tag);
    } else if (inTag) {
      tag += c;
    } else {
      plain += c;
    }
  }
  // Every CR, LF and CR LF ends a line; a CR LF pair leaves an empty line between, which the
  // trimming drops like any other.
  std::u16string result;
  std::u16string line;
  auto flush = [&] {
    std::size_t first = 0;
    std::size_t last = line.size();
    while (first < last && line[first] <= 32) ++first;
    while (last > first && line[last - 1] <= 32) --last;
    if (first < last) result += line.substr(first, last - first) + u"\r\n";
    line.clear();
  };
  for (const char16_t c : plain) {
    if (c == u'\r' || c == u'\n') {
      flush();
    } else {
      line += c;
    }
  }
  flush();
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks how the rest is read: as code-page bytes (the way script output
  // arrives) or as raw UTF-16 code units, unpaired surrogates included.
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string html;
  if (data[0] & 1) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      html.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                           static_cast<std::uint8_t>(bytes[i + 1]) << 8));
    }
  } else {
    html = velmar::text::CodePageToUnicode(bytes);
  }

  const std::u16string replaced = velmar::text::ReplaceHTMLChar(html);
  Check(replaced.size() <= html.size());
  Check(replaced == ModelReplace(html).text);
  const std::u16string text = velmar::text::Html2Txt(html);
  CheckShape(text);
  Check(text == ModelHtml2Txt(html));
  return 0;
}
