#pragma once

#include <string>
#include <string_view>

#include "telnet/session.h"

namespace velmar::shell {

// The script output as the run command shows it: the script's own line ends dropped, the
// HTML line breaks ("<br>", "<br/>", "<br />" in any letter case) turned into CR LF.
// Html2Txt then removes the markup.
std::u16string BreakTagsToLineEnds(std::u16string_view output);

// The run command (run, exec, execute): starts the script named by the first argument (an
// ID anywhere in the tree, or a name among the children of the current category) and says
// whether the start succeeded. With "-w" ("-wait") anywhere after the argument it waits for
// the script to finish and shows its output as plain text after a line "---".
void RunScript(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
