#include "json/number_text.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace velmar::json::detail {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// For a number out of the range of doubles: whether it is too large (rather than too small).
// The decimal exponent of the first non-zero digit decides.
bool Overflows(std::string_view s) {
  long position = 0;  // digits before the point, counted from the first non-zero digit
  bool seenNonZero = false, afterPoint = false;
  std::size_t i = s[0] == '-' ? 1 : 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      afterPoint = true;
      continue;
    }
    if (!seenNonZero && s[i] == '0') {
      if (afterPoint) --position;
      continue;
    }
    seenNonZero = true;
    if (!afterPoint) ++position;
  }
  long exponent = 0;
  if (i < s.size()) {
    ++i;
    bool negative = s[i] == '-';
    if (s[i] == '+' || s[i] == '-') ++i;
    for (; i < s.size(); ++i) exponent = std::min(exponent * 10 + (s[i] - '0'), 100000L);
    if (negative) exponent = -exponent;
  }
  return position + exponent > 0;
}

NumberRead Double(std::string_view s) {
  NumberRead read{.valid = true, .type = JsonType::stDouble};
  auto result = std::from_chars(s.data(), s.data() + s.size(), read.dbl);
  if (result.ec == std::errc::result_out_of_range) {
    read.dbl = Overflows(s) ? std::numeric_limits<double>::infinity() : 0.0;
    if (s[0] == '-') read.dbl = -read.dbl;
  } else if (result.ec != std::errc()) {
    read.valid = false;
  }
  return read;
}

// The digits of the integer part and of at most four decimals as ten-thousandths; not valid
// beyond the 64-bit range.
NumberRead Currency(std::string_view s, std::size_t intStart, std::size_t intDigits,
                    std::size_t fracDigits) {
  std::uint64_t magnitude = 0;
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
  auto addDigit = [&](char d) {
    if (magnitude > (kLimit - static_cast<unsigned>(d - '0')) / 10) return false;
    magnitude = magnitude * 10 + static_cast<unsigned>(d - '0');
    return true;
  };
  for (std::size_t k = 0; k < intDigits; ++k)
    if (!addDigit(s[intStart + k])) return {};
  for (std::size_t k = 0; k < fracDigits; ++k)
    if (!addDigit(s[intStart + intDigits + 1 + k])) return {};
  for (std::size_t k = fracDigits; k < 4; ++k)
    if (!addDigit('0')) return {};
  const auto value = static_cast<std::int64_t>(magnitude);
  return {.valid = true, .type = JsonType::stCurrency, .integer = s[0] == '-' ? -value : value};
}

}  // namespace

NumberRead ReadNumber(std::string_view s) noexcept {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  const std::size_t intStart = i;
  // The common case first: an integer of up to 18 digits, which cannot overflow.
  std::uint64_t magnitude = 0;
  while (i < s.size() && IsDigit(s[i]) && i - intStart < 18)
    magnitude = magnitude * 10 + static_cast<unsigned>(s[i++] - '0');
  if (i == s.size() && i != intStart) {
    const auto value = static_cast<std::int64_t>(magnitude);
    return {.valid = true, .type = JsonType::stInt, .integer = intStart == 1 ? -value : value};
  }
  while (i < s.size() && IsDigit(s[i])) ++i;
  const std::size_t intDigits = i - intStart;
  bool point = false;
  std::size_t fracDigits = 0;
  if (i < s.size() && s[i] == '.') {
    point = true;
    const std::size_t fracStart = ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    fracDigits = i - fracStart;
  }
  if (intDigits + fracDigits == 0) return {};
  bool exponent = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    exponent = true;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t expStart = i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    if (i == expStart) return {};
  }
  if (i != s.size()) return {};

  if (!point && !exponent) {
    NumberRead read{.valid = true, .type = JsonType::stInt};
    if (std::from_chars(s.data(), s.data() + s.size(), read.integer).ec == std::errc()) return read;
  } else if (point && !exponent && fracDigits <= 4) {
    if (NumberRead read = Currency(s, intStart, intDigits, fracDigits); read.valid) return read;
  }
  return Double(s);
}

}  // namespace velmar::json::detail
