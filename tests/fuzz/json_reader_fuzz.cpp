// Reads arbitrary bytes as a reply body, and the same bytes taken as UTF-16, with the lenient
// reader. Whatever reads must write, and what is written must read back to the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"
#include "json/node.h"

namespace {

using velmar::json::JsonValue;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckRoundTrip(const JsonValue& value) {
  for (bool escape : {true, false}) {
    std::u16string text = value.AsJson(false, escape);
    Check(!text.empty());
    if (escape)
      for (char16_t c : text) Check(c >= 32 && c < 128);
    JsonValue again = velmar::json::ParseJson(text);
    Check(again.HasValue());
    Check(again.AsJson(false, escape) == text);
  }
  // The conversions never fail on a value.
  (void)value.AsBoolean();
  (void)value.AsInteger();
  (void)value.AsString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::int64_t liveBefore = velmar::json::LiveValueCount();
  {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    JsonValue fromBytes = velmar::json::ParseJsonCodePage(bytes);

    // The same text as UTF-16 must read the same.
    std::u16string wide(size, u'\0');
    for (std::size_t i = 0; i < size; ++i) wide[i] = velmar::json::detail::CodePageUnit(data[i]);
    JsonValue fromWide = velmar::json::ParseJson(wide);
    Check(fromBytes.HasValue() == fromWide.HasValue());
    if (fromBytes) {
      Check(fromBytes.AsJson() == fromWide.AsJson());
      CheckRoundTrip(fromBytes);
    }

    // Pairs of bytes as UTF-16 code units reach characters above 255 and surrogates.
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i + 1 < size; i += 2)
      units[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (JsonValue fromUnits = velmar::json::ParseJson(units); fromUnits) CheckRoundTrip(fromUnits);
  }
  Check(velmar::json::LiveValueCount() == liveBefore);
  return 0;
}
