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

// The value as compact JSON text meant to be sent as UTF-8 (RFC 8259), for people and
// programs reading it on a terminal: every character stays as it is, except those that JSON
// requires escaped (the double quote, the backslash, C0 controls: \b \t \n \f \r or \u00XX)
// and those that could act on a terminal or trip up a reader (DEL, the C1 controls, U+2028,
// U+2029 and lone surrogates), which become \u escapes. An empty handle gives the empty text.
std::u16string AsJsonDocument(const JsonValue& value);

// A double as JSON number text: 15 significant digits, plain form for decimal exponents from
// -3 to 15, else scientific ("5E-5", "1E20"). Zero is "0". Non-finite values give "null".
std::u16string FloatToJson(double value);

// A fixed-point value (ten-thousandths) as plain decimal text without trailing zeros:
// 125000 -> "12.5", 210000 -> "21", -2500 -> "-0.25".
std::u16string CurrToJson(std::int64_t tenThousandths);

}  // namespace velmar::json
