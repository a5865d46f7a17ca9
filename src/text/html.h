#pragma once

#include <string>
#include <string_view>

namespace velmar::text {

// The character that the entity `hcode` (the whole text from "&" to ";") stands for, from a
// fixed table of 101 entries matched exactly and case-sensitively (&nbsp; gives a blank); a
// space for anything else.
char16_t GiveSZ(std::u16string_view hcode);

// `value` with every entity candidate (from the last "&" before a ";" up to that ";", at
// most 8 characters) replaced by GiveSZ of it, and every numeric reference ("&#228;",
// "&#x20AC;", up to 10 characters) by the character it names (a control character by a
// blank). A replaced character can start the next candidate, so "&amp;amp;" becomes "&".
std::u16string ReplaceHTMLChar(std::u16string_view value);

// The plain text of `html`: entities replaced, tags removed, split at CR, LF or CR LF, each
// line trimmed, empty lines dropped, every remaining line followed by CR LF. A "<" or ">"
// that an entity produced is text, not part of a tag. The closing tags of paragraphs,
// headings, divisions, lists, list items, tables and table rows end a line; those of table
// cells (</td>, </th>) leave one blank.
std::u16string Html2Txt(std::u16string_view html);

}  // namespace velmar::text
