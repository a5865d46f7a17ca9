// Html2Txt on arbitrary input: it must never crash, hang or break the shape of its result, and
// it must agree with a plain, slow model of the same steps (entities replaced in place one
// candidate at a time, tags dropped, lines split, trimmed and joined).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/encoding.h"
#include "text/html.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Every line is non-empty, trimmed and ends with CR LF; no "<" survives tag removal.
void CheckShape(const std::u16string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(u"\r\n", start);
    Check(end != std::u16string::npos && end > start);
    Check(text[start] > 32 && text[end - 1] > 32);
    for (std::size_t i = start; i < end; ++i) {
      Check(text[i] != u'\r' && text[i] != u'\n' && text[i] != u'<');
    }
    start = end + 2;
  }
}

// Entity replacement done in place on one string: each candidate runs from the last "&"
// before a ";" to that ";", is replaced when shorter than 8 characters, and the search goes
// on at the character put in (so a produced "&" can start the next candidate).
std::u16string ModelReplace(std::u16string text) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t amp = text.find(u'&', from);
    if (amp == std::u16string::npos) return text;
    const std::size_t semi = text.find(u';', amp + 1);
    if (semi == std::u16string::npos) return text;
    const std::size_t last = text.rfind(u'&', semi);
    if (semi - last >= 8) {
      from = last + 1;
      continue;
    }
    const char16_t c =
        velmar::text::GiveSZ(std::u16string_view(text).substr(last, semi - last + 1));
    text.replace(last, semi - last + 1, 1, c);
    from = last;
  }
}

std::u16string ModelHtml2Txt(const std::u16string& html) {
  const std::u16string replaced = ModelReplace(html);
  std::u16string plain;
  bool inTag = false;
  for (const char16_t c : replaced) {
    if (c == u'<' && !inTag) {
      inTag = true;
    } else if (c == u'>' && inTag) {
      inTag = false;
    } else if (!inTag) {
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
  Check(replaced == ModelReplace(html));
  const std::u16string text = velmar::text::Html2Txt(html);
  CheckShape(text);
  Check(text == ModelHtml2Txt(html));
  return 0;
}
