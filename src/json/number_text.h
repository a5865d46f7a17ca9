#pragma once

// Internal to the json module: what a number's text reads as. Without "." or an exponent it is
// an integer; with a "." followed by at most four decimals and no exponent a fixed-point value
// (ten-thousandths); otherwise a double, rounded correctly from all its digits. Integers beyond
// 64 bits and fixed-point values beyond their range read as doubles; doubles beyond the range of
// doubles as infinity or zero.

#include <cstdint>
#include <string_view>

#include "json/value.h"

namespace velmar::json::detail {

struct NumberRead {
  bool valid = false;  // false: the text is no number ("-", "1-2", "1.2.3", "1e")
  JsonType type = JsonType::stInt;
  std::int64_t integer = 0;  // stInt, and stCurrency in ten-thousandths
  double dbl = 0;            // stDouble
};

// `text` holds only the characters a number runs over: digits, "+", "-", ".", "E" and "e".
NumberRead ReadNumber(std::string_view text) noexcept;

}  // namespace velmar::json::detail
