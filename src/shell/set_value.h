#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "telnet/session.h"

namespace velmar::shell {

// Value texts as the set command reads them. `decimalSeparator` is the host's regional one;
// the other separator is not accepted in its place.

// A decimal number: optional sign, digits with at most one decimal separator, optional
// exponent (E or e, optional sign, digits). Nothing for anything else, or a value beyond the
// range of a double.
std::optional<double> ConvertFloat(std::u16string_view text, std::u16string_view decimalSeparator);

// A number (as for floats: true unless zero), or True or False in any letter case.
std::optional<bool> ConvertBoolean(std::u16string_view text, std::u16string_view decimalSeparator);

// A whole number in the signed 32-bit range, decimal or hexadecimal ("$1F", "x1F", "0x1F").
std::optional<std::int32_t> ConvertInteger(std::u16string_view text);

// The set command (set, setvalue): converts the text after the variable's ID or name to the
// variable's type and stores it on the server. A successful change writes nothing.
void SetValue(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
