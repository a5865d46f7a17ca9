#pragma once

// The JSON writer: compact text, members in table order, full or minimal escaping, and the
// number texts (always with "." as the decimal separator, never a thousands separator).

#include <cstdint>
#include <string>

#include "json/value.h"

namespace velmar::json {

// The value as compact JSON text (same as value.AsJson(escape)). Full escaping
// (`escape` true) writes every character outside printable ASCII as a \u escape, "/" as \/,
// and gives ASCII-only text; minimal escaping escapes only NUL, the double quote and the
// backslash. An empty handle gives the empty text.
std::u16string AsJson(const JsonValue& value, bool escape = true);

// A double as JSON number text: 15 significant digits, plain form for decimal exponents from
// -3 to 15, else scientific ("5E-5", "1E20"). Zero is "0". Non-finite values give "null".
std::u16string FloatToJson(double value);

// A fixed-point value (ten-thousandths) as plain decimal text without trailing zeros:
// 125000 -> "12.5", 210000 -> "21", -2500 -> "-0.25".
std::u16string CurrToJson(std::int64_t tenThousandths);

}  // namespace velmar::json
