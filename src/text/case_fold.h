#pragma once

#include <string>
#include <string_view>

namespace velmar::text {

// `value` with every character replaced by its simple case folding (Unicode's
// CaseFolding.txt, status C and S, from ICU): "KÜCHE" and "küche" fold alike, so do "Ω" and
// "ω", "ẞ" and "ß". Simple folding maps one character to one character, so positions and
// blanks stay where they were ("ß" does not become "ss"). An unpaired surrogate stays as it is.
std::u16string FoldCase(std::u16string_view value);

}  // namespace velmar::text
