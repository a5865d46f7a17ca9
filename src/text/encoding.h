#pragma once

#include <string>
#include <string_view>

namespace velmar::text {

// Code-page text is Windows-1252, one byte per character. The five bytes that the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same
// value, so every byte survives a round trip through Unicode.

// Bytes of the code page to Unicode, one character per byte.
std::u16string CodePageToUnicode(std::string_view bytes);

// Unicode to the code page, one byte per character; "?" for a character the code page lacks
// (a surrogate pair is one character and gives one "?").
std::string UnicodeToCodePage(std::u16string_view text);

// Unicode to 7-bit ASCII: characters up to U+007F as themselves, every other character "?"
// (a surrogate pair gives one "?").
std::string UnicodeToAscii(std::u16string_view text);

// UTF-16 to UTF-8; an unpaired surrogate is written as U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16; each maximal invalid subsequence gives one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Repairs text that arrived as UTF-8 bytes read one character per byte: the text is turned
// into code-page bytes and those are decoded as UTF-8. When the bytes are not valid UTF-8, or
// the text holds a character the code page lacks, the text cannot have come about that way
// (the server sent those characters as \u escapes) and is returned unchanged.
std::u16string Utf8Repair(std::u16string_view text);

}  // namespace velmar::text
