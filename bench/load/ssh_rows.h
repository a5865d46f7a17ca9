// SSH against Telnet on a velmar with a users file: resident memory per idle session at its
// prompt, and the time from connecting to the first prompt.
#pragma once

#include "load_args.h"

namespace velmar::load {

// Prints the table; false when a login, a session or a reply failed.
bool sshRows(const Args& args);

}  // namespace velmar::load
