// Many password logins at once on a velmar with a users file, as a crowd of guessers sends
// them: its peak memory against the memory it holds with every connection waiting at its
// password prompt. The password checks (Argon2id, 64 MiB each) run one per core, so the peak
// should stay within cores x 64 MiB above that.
#pragma once

#include "load_args.h"

namespace velmar::load {

// Prints the table; false when a connection could not be opened or got no answer.
bool loginCrowdRow(const Args& args);

}  // namespace velmar::load
