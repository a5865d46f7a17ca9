#pragma once

#include <string>

#include "telnet/session.h"

namespace velmar::shell {

// The detail command (show): the general attributes of one object named by ID or by name,
// its type, and for variables and scripts their own attributes, written through
// WriteFormated. Nothing of the details is written when a server request fails. With -json
// the whole object record and what its kind adds are written as one document.
void Show(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
