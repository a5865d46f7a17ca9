// Reads arbitrary bytes as a reply body, and the same bytes taken as UTF-16, with the lenient
// reader; and the bytes as they arrive, in pieces cut where the input says. All must read the
// same. Whatever reads must write, and what is written must read back to the same text. Text
// that an independent strict parser (nlohmann/json) accepts as standard JSON must read too, to
// the same values.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json/json.h"
#include "json/node.h"
#include "text/encoding.h"

namespace {

using velmar::json::JsonValue;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckRoundTrip(const JsonValue& value) {
  for (bool escape : {true, false}) {
    std::u16string text = value.AsJson(escape);
    Check(!text.empty());
    if (escape)
      for (char16_t c : text) Check(c >= 32 && c < 128);
    JsonValue again = velmar::json::ParseJson(text);
    Check(again.HasValue());
    Check(again.AsJson(escape) == text);
  }
  // The conversions never fail on a value.
  (void)value.AsBoolean();
  (void)value.AsInteger();
  (void)value.AsString();
}

using velmar::json::JsonType;

// How deep containers nest in `doc` (a scalar is 0).
int Depth(const nlohmann::json& doc) {
  int deepest = 0;
  if (doc.is_structured())
    for (const auto& child : doc) deepest = std::max(deepest, Depth(child));
  return doc.is_structured() ? deepest + 1 : 0;
}

bool SameNumber(double a, double b) {
  if (std::isinf(a) || std::isinf(b)) return a == b;
  return std::fabs(a - b) <= 1e-12 * std::max(std::fabs(a), std::fabs(b));
}

// Whether our value holds what the strict parser read. Numbers with a point and at most four
// decimals are fixed point here and floating point there, so they compare by value.
void CheckSame(const nlohmann::json& doc, const JsonValue& value) {
  Check(value.HasValue());
  switch (doc.type()) {
    case nlohmann::json::value_t::null:
      Check(value.DataType() == JsonType::stNull);
      break;
    case nlohmann::json::value_t::boolean:
      Check(value.DataType() == JsonType::stBoolean && value.AsBoolean() == doc.get<bool>());
      break;
    case nlohmann::json::value_t::number_integer:
      Check(value.DataType() == JsonType::stInt && value.AsInteger() == doc.get<std::int64_t>());
      break;
    case nlohmann::json::value_t::number_unsigned:
      if (doc.get<std::uint64_t>() <= std::numeric_limits<std::int64_t>::max()) {
        Check(value.DataType() == JsonType::stInt &&
              value.AsInteger() == static_cast<std::int64_t>(doc.get<std::uint64_t>()));
      } else {
        Check(SameNumber(value.AsDouble(), static_cast<double>(doc.get<std::uint64_t>())));
      }
      break;
    case nlohmann::json::value_t::number_float:
      Check(value.DataType() == JsonType::stDouble || value.DataType() == JsonType::stCurrency);
      Check(SameNumber(value.AsDouble(), doc.get<double>()));
      break;
    case nlohmann::json::value_t::string:
      Check(value.DataType() == JsonType::stString &&
            value.AsString() == velmar::text::Utf8ToUtf16(doc.get_ref<const std::string&>()));
      break;
    case nlohmann::json::value_t::array: {
      const auto* array = value.AsArray();
      Check(array != nullptr && array->Length() == doc.size());
      for (std::size_t i = 0; i < doc.size(); ++i) CheckSame(doc[i], (*array)[i]);
      break;
    }
    case nlohmann::json::value_t::object: {
      // A repeated name keeps the later value in both.
      const auto* table = value.AsObject();
      Check(table != nullptr && table->Count() == doc.size());
      for (const auto& [name, member] : doc.items())
        CheckSame(member, table->Get(velmar::text::Utf8ToUtf16(name)));
      break;
    }
    default:
      Check(false);
  }
}

void CheckAgainstStrictParser(std::string_view bytes) {
  // The strict parser skips a leading byte order mark, which is no JSON white space.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return;
  const nlohmann::json doc = nlohmann::json::parse(bytes, nullptr, false);
  if (doc.is_discarded() || Depth(doc) > 31) return;
  // Standard JSON is UTF-8 throughout, so the text reads the same as UTF-16.
  CheckSame(doc, velmar::json::ParseJson(velmar::text::Utf8ToUtf16(bytes)));
}

}  // namespace

// The bytes fed in pieces: piece k is (byte k of the input) % 8 + 1 bytes long, so that the
// fuzzer controls where pieces end.
JsonValue ReadInPieces(std::string_view bytes) {
  velmar::json::JsonStreamReader reader;
  std::size_t at = 0;
  for (std::size_t k = 0; at < bytes.size(); ++k) {
    const std::size_t piece = static_cast<unsigned char>(bytes[k % bytes.size()]) % 8 + 1;
    reader.Feed(bytes.substr(at, piece));
    at += piece;
  }
  return reader.Finish();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::int64_t liveBefore = velmar::json::LiveValueCount();
  {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    JsonValue fromBytes = velmar::json::ParseJsonCodePage(bytes);

    JsonValue inPieces = ReadInPieces(bytes);
    Check(inPieces.HasValue() == fromBytes.HasValue());
    if (fromBytes) Check(inPieces.AsJson() == fromBytes.AsJson());

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

    CheckAgainstStrictParser(bytes);
  }
  Check(velmar::json::LiveValueCount() == liveBefore);
  return 0;
}
