#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::text {

// `value` without the characters of code 32 or less at either end.
std::u16string Trim(std::u16string_view value);

// `value` with the letters a to z in upper case; every other character stays as it is.
std::u16string UpperCase(std::u16string_view value);

// `value` in decimal, with a leading "-" when negative.
std::u16string IntToStr(std::int64_t value);

// `value` read as a signed 32-bit decimal integer (optional sign, digits, nothing else);
// nothing when it is not one or lies outside the 32-bit range.
std::optional<std::int32_t> TryStrToInt(std::u16string_view value);

// TryStrToInt, failing with velmar::Error "'<value>' is not a valid integer value".
std::int32_t StrToInt(std::u16string_view value);

// The object reference on a command line: the word after the command word, or the text
// between double quotes when the argument starts with one; empty when there is none (also
// for an unclosed quote). The caller decides whether it is an ID or a name.
std::u16string GetObjectFromCommandline(std::u16string_view command);

// `command` without each blank-separated word after the first that equals `option` in any
// letter case (a word inside double quotes is never one), each taken out together with the
// blanks before it; nothing when there is no such word. Options that commands take wherever
// they stand ("-json") are taken out this way before the arguments are read.
std::optional<std::u16string> TakeOptionWord(std::u16string_view command,
                                             std::u16string_view option);

// `text` split at `sep`. Pieces are trimmed when `trim` is set; with `quotes` set, double
// quotes protect separators and are removed. Two separators in a row give an empty piece, a
// separator at the end gives no empty last piece, the empty text gives no pieces.
std::vector<std::u16string> explode(std::u16string_view text, char16_t sep, bool trim, bool quotes);

// Sorts `lines` in place by the key that follows the first `indicator` in each line (from the
// first character when there is none) up to the next space; a line with no space after the
// key start has the empty key. Ascending when `direction` is "ASC" in any case, descending
// otherwise; stable. Keys compare by code unit, or as signed 32-bit integers when
// `numericCompare` is set. Afterwards every `indicator` is removed from every line.
// With `numericCompare`, a key that is not an integer fails with velmar::Error (only when
// there are two lines or more); the list is then left as it was given.
void SortByCopyStr(std::vector<std::u16string>& lines, char16_t indicator,
                   std::u16string_view direction, bool numericCompare);

}  // namespace velmar::text
