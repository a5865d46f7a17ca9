// The shell's dispatch table: every command word a Telnet client can type.
#pragma once

#include "telnet/session.h"

namespace velmar::shell {

// The commands in the order they are tried (the exit words are handled by the session
// itself, before any of these). Built once; shared read-only by every session.
const telnet::CommandTable& CommandTable();

}  // namespace velmar::shell
