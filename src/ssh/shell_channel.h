#pragma once

#include <memory>
#include <string>

#include "ssh/server.h"
#include "telnet/session.h"

namespace velmar::ssh {

// The exit statuses of a one-shot command list.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;         // a command could not do its work
inline constexpr int kExitDenied = 2;         // "Permission denied."
inline constexpr int kExitUnreachable = 255;  // the server could not be reached or failed

// Runs the shell on a started session channel, on the connection's thread: without a command
// the interactive shell exactly as over Telnet (greeting, login message, prompt, commands);
// with one, the command list it names (see telnet::SplitCommandList) without greeting or
// prompts, stopping at the first command that fails, and the exit status from the list above.
// A failure that ends a one-shot command is written to the client's error output.
void RunShell(Channel& channel, const std::shared_ptr<const telnet::SessionConfig>& config,
              const std::u16string& loginMessage);

}  // namespace velmar::ssh
