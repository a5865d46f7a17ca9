// What a value reads as: its kind, a Boolean, an integer, a double, text, JSON text, or the
// table or list of a container. Conversions never fail on a value.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/error.h"
#include "json/node.h"
#include "json/value.h"
#include "json/writer.h"

namespace velmar::json {

namespace {

using detail::Node;

Node& Need(const JsonValue& value) {
  if (!value) throw Error("No JSON value");
  return *value.node();
}

// Rounds half to even and saturates at the ends of the 64-bit range; NaN gives 0.
std::int64_t RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  double floor = std::floor(value);
  double diff = value - floor;
  double rounded = floor;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(floor, 2.0) != 0)) rounded = floor + 1;
  if (rounded >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (rounded < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(rounded);
}

std::int64_t CurrencyToInteger(std::int64_t tenThousandths) {
  std::int64_t whole = tenThousandths / 10000;
  std::int64_t rest = tenThousandths % 10000;  // same sign as the value
  std::int64_t absRest = rest < 0 ? -rest : rest;
  bool away = absRest > 5000 || (absRest == 5000 && whole % 2 != 0);
  if (away) whole += rest < 0 ? -1 : 1;
  return whole;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The whole text as an integer: leading spaces, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". Anything else, or a number outside
// the 64-bit range (16 hexadecimal digits at most), gives 0.
std::int64_t StringToInteger(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  bool hex = false;
  if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == u'0' &&
             (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return 0;
  std::uint64_t magnitude = 0;
  if (hex) {
    if (text.size() - i > 16) return 0;
    for (; i < text.size(); ++i) {
      int digit = HexDigit(text[i]);
      if (digit < 0) return 0;
      magnitude = magnitude * 16 + static_cast<unsigned>(digit);
    }
    // Sixteen digits are a bit pattern: $FFFFFFFFFFFFFFFF is -1.
    std::int64_t value = static_cast<std::int64_t>(magnitude);
    return negative ? static_cast<std::int64_t>(0 - magnitude) : value;
  }
  const std::uint64_t limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
  for (; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c < u'0' || c > u'9') return 0;
    unsigned digit = c - u'0';
    if (magnitude > (limit - digit) / 10) return 0;
    magnitude = magnitude * 10 + digit;
  }
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace

JsonType JsonValue::DataType() const {
  return Need(*this).type;
}

bool JsonValue::AsBoolean() const {
  const Node& node = Need(*this);
  switch (node.type) {
    case JsonType::stBoolean:
      return node.boolean;
    case JsonType::stDouble:
      return node.dbl != 0;
    case JsonType::stCurrency:
    case JsonType::stInt:
      return node.integer != 0;
    case JsonType::stString:
      return !detail::TextOf(&node).empty();
    case JsonType::stObject:
    case JsonType::stArray:
      return true;
    default:
      return false;
  }
}

std::int64_t JsonValue::AsInteger() const {
  const Node& node = Need(*this);
  switch (node.type) {
    case JsonType::stBoolean:
      return node.boolean ? 1 : 0;
    case JsonType::stDouble:
      return RoundHalfEven(node.dbl);
    case JsonType::stCurrency:
      return CurrencyToInteger(node.integer);
    case JsonType::stInt:
      return node.integer;
    case JsonType::stString:
      return StringToInteger(detail::TextOf(&node));
    default:
      return 0;
  }
}

std::u16string JsonValue::AsString() const {
  const Node& node = Need(*this);
  switch (node.type) {
    case JsonType::stNull:
      return {};
    case JsonType::stString:
      return std::u16string(detail::TextOf(&node));
    default:
      return json::AsJson(*this, false);
  }
}

double JsonValue::AsDouble() const {
  const Node& node = Need(*this);
  switch (node.type) {
    case JsonType::stDouble:
      return node.dbl;
    case JsonType::stCurrency:
      return static_cast<double>(node.integer) / 10000.0;
    case JsonType::stInt:
      return static_cast<double>(node.integer);
    default:
      return 0;
  }
}

JsonTable* JsonValue::AsObject() const {
  Node& node = Need(*this);
  return node.type == JsonType::stObject ? &detail::TableOf(&node) : nullptr;
}

JsonArray* JsonValue::AsArray() const {
  Node& node = Need(*this);
  return node.type == JsonType::stArray ? &detail::ArrayOf(&node) : nullptr;
}

std::u16string JsonValue::AsJson(bool escape) const {
  Need(*this);
  return json::AsJson(*this, escape);
}

}  // namespace velmar::json
