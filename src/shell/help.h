#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/session.h"

namespace velmar::shell {

// The lines of the help page that `command` (the whole command line, "help run") asks
// for, before wrapping, laid out for a console `width` characters wide (the separators).
// The topic is the text after the first space in upper case; a topic that names no page
// gives the overview. `level` is the level of the user logged in, 0 in a shell without
// login: the overview then names every command but who, and who has no page.
std::vector<std::u16string> HelpPage(std::u16string_view command, std::int32_t width,
                                     int level = 0);

// `lines` as written to a console `width` characters wide: a line whose visible length
// (colour sequences not counted) exceeds the width is wrapped at spaces into lines of at
// most width - 2 visible characters; a single longer word stands on a line of its own.
std::vector<std::u16string> WrapHelpLines(const std::vector<std::u16string>& lines,
                                          std::int32_t width);

// The help command: writes the page for `command` at the current console width.
void help(telnet::Session& session, const std::u16string& command);

// The dispatch row of the help command.
telnet::Command HelpCommand();

}  // namespace velmar::shell
