// Html2Txt on arbitrary input: it must never crash, hang or break the shape of its result.
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
  CheckShape(velmar::text::Html2Txt(html));
  return 0;
}
