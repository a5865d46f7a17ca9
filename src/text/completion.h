#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velmar::text {

// What Tab may put in place of the word before the cursor.
struct Completion {
  // Where the word being completed starts, in UTF-16 code units of the text before the cursor.
  std::size_t start = 0;
  // Complete replacements for that word (quoted where they hold blanks), in the order listed.
  std::vector<std::u16string> candidates;
};

}  // namespace velmar::text
