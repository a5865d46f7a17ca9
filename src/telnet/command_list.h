#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmar::telnet {

// The command lines of a one-shot command list ("cd 12345; ls -v"): split at each ";" that
// stands outside double quotes, each part trimmed of blanks, empty parts left out. A ";"
// inside quotes belongs to a name, and "\;" anywhere stands for a ";" that belongs to its
// command line ("set 17345 a\;b" stores "a;b"); every other backslash stays as it is.
std::vector<std::u16string> SplitCommandList(std::u16string_view list);

}  // namespace velmar::telnet
