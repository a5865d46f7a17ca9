#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "text/completion.h"

namespace velmar::shell {

// Tab completion of a command line from the text before the cursor. The first word is
// completed from `commandWords` (upper case; offered in lower case, or in upper case when the
// typed part is in upper case; words that are not all letters, such as "CD..", are left out);
// a later word from `childNames` (asked only then), the names of the current category's
// children, in double quotes when they hold a blank. Both match the typed part without
// regard to case (Unicode case folding); a typed opening quote is part of the word.
text::Completion CompleteCommandLine(
    std::u16string_view beforeCursor, const std::vector<std::u16string>& commandWords,
    const std::function<std::vector<std::u16string>()>& childNames);

// The names of the children of `category`, sorted, each once, except names with characters
// that could not be typed (see text::Inert); empty when the server cannot be asked.
std::vector<std::u16string> ChildNames(std::int32_t category);

}  // namespace velmar::shell
