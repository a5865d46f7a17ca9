#pragma once

#include <string>

#include "telnet/session.h"

namespace velmar::shell {

// The directory command (cd, cd.., cd\): makes another object the current category and sets
// the prompt to its path from the root. Targets are "..", "\" or "0" for the root, an ID, a
// child's name, or a link (whose target is entered). A refused change writes one line and
// changes nothing.
void ChangeDir(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
