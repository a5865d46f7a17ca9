#include "text/case_fold.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

namespace velmar::text {

std::u16string FoldCase(std::u16string_view value) {
  std::u16string folded;
  folded.reserve(value.size());
  const auto length = static_cast<std::int32_t>(value.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c = 0;
    U16_NEXT(value.data(), i, length, c);
    const UChar32 f = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    if (U_IS_BMP(f)) {
      folded.push_back(static_cast<char16_t>(f));
    } else {
      folded.push_back(U16_LEAD(f));
      folded.push_back(U16_TRAIL(f));
    }
  }
  return folded;
}

}  // namespace velmar::text
