#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::shell {

// Whether `text` has the form of a whole number as the shell reads object IDs: an optional
// "+" or "-", then decimal digits, or hexadecimal digits after "$", "x" or "0x" (the x in
// either case), and nothing else. The empty text is not a number.
bool IsWholeNumber(std::u16string_view text);

// `text` read as a whole number: no value when it does not have the form; velmar::Error when
// it has the form but lies outside the signed 32-bit range.
std::optional<std::int32_t> ReadWholeNumber(std::u16string_view text);

// The text of `command` after its object argument (see text::GetObjectFromCommandline): after
// the closing quote of a quoted argument, else after the argument's word; untrimmed. Empty
// when there is no argument or its quote is not closed.
std::u16string TextAfterArgument(std::u16string_view command);

// A server lookup of a child by name under a parent (IPS_GetObjectIDByName and its typed
// relatives). Raises velmar::Error when nothing is found.
using NameLookup = std::function<std::int32_t(std::u16string_view name, std::int32_t parentID)>;

// The object ID that a command's argument names: an argument that reads as a whole number is
// the ID itself (valid anywhere in the tree; velmar::Error when out of range); any other
// argument is a name that `lookup` resolves among the children of `currentDir`, passed with
// every character it has. No value when the lookup fails; the caller reports the name as
// not found.
std::optional<std::int32_t> ResolveObjectArgument(std::u16string_view argument,
                                                  std::int32_t currentDir,
                                                  const NameLookup& lookup);

// One word of a command line after the command word; a quoted word is always an argument,
// never an option.
struct ArgumentWord {
  std::u16string text;
  bool quoted = false;
};

// The words after the command word, separated by blanks; a word that starts with a double
// quote runs to the closing quote and is given without the quotes, trimmed. Nothing when a
// quote is not closed.
std::optional<std::vector<ArgumentWord>> ArgumentWords(std::u16string_view commandline);

}  // namespace velmar::shell
