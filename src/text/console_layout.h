#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::text {

// Width of the client console in characters, shared by every connection. Written by the
// control window, read by connection threads; a new width applies to the next line written.
inline std::atomic<std::int32_t> gConsoleChars{80};

// Number of characters in `value` that belong to colour sequences: ESC "[", any digits and
// semicolons, "m". An ESC that does not start such a sequence is counted as visible, so that
// text shaped like a long sequence (ESC, hundreds of letters, "m") cannot hide its width.
std::int32_t CountHiddenChars(std::u16string_view value);

// The first `limit + CountHiddenChars(value)` code units of `value`; empty when that sum is
// 0 or less. Hidden characters beyond the cut still widen it.
std::u16string LimitChars(std::u16string_view value, std::int32_t limit);

// `value` with every CR removed and then every LF turned into CR LF.
std::u16string ReplaceLF(std::u16string_view value);

// The exact bytes that WriteFormated sends for one line at console width `width`: the lead
// word (everything up to and including the first space) dropped, the rest cut with
// LimitChars, line ends normalised with ReplaceLF, encoded as UTF-8 and followed by CR LF.
std::string WriteFormatedBytes(std::u16string_view line, std::int32_t width);

// The same for one line at the current gConsoleChars.
std::string WriteFormatedBytes(std::u16string_view line);

// The bytes for every line of `lines` in order, each at the console width read when that
// line is formatted. An empty list gives no bytes.
std::string WriteFormatedBytes(const std::vector<std::u16string>& lines);

}  // namespace velmar::text
