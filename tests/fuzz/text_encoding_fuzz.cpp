// The conversions between code page, UTF-8 and UTF-16 on arbitrary bytes: no crash, and the
// round trips that must hold do hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/encoding.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmar::text;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Valid UTF-8 survives decoding and encoding unchanged; anything else gains U+FFFD.
  const std::u16string decoded = Utf8ToUtf16(bytes);
  const std::string encoded = Utf16ToUtf8(decoded);
  Check(IsValidUtf8(encoded));
  Check((encoded == bytes) == IsValidUtf8(bytes));

  // Every byte survives the code page; the repair of such text is the UTF-8 decoding when
  // the bytes are valid UTF-8, and the text itself otherwise.
  const std::u16string latin = CodePageToUnicode(bytes);
  Check(UnicodeToCodePage(latin) == bytes);
  const std::u16string repaired = Utf8Repair(latin);
  Check(repaired == (IsValidUtf8(bytes) ? decoded : latin));

  // Raw code units, unpaired surrogates included: conversions must not fail.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  Check(IsValidUtf8(Utf16ToUtf8(units)));
  Check(UnicodeToCodePage(units).size() <= units.size());
  Check(UnicodeToAscii(units).size() == UnicodeToCodePage(units).size());
  Utf8Repair(units);
  return 0;
}
