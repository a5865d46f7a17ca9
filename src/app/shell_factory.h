// Wiring between the service host and the shell: which commands a connection gets, what every
// connection thread sets up and releases, and the SSH front end over the same shell.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "access/access_control.h"
#include "telnet/listener.h"
#include "telnet/session.h"

namespace velmar::app {

// The shell every client gets: the full command table (and who), whose login, levels and
// audit lines `access` decides, Tab completion of command words (those the user may run) and
// of the current category's children; each connection thread owns its API client from
// connect to disconnect.
std::shared_ptr<const telnet::SessionConfig> StandardSessionConfig(
    std::shared_ptr<access::AccessControl> access, telnet::IdleLimit idle = {});

// A factory that gives every Telnet connection that shell.
telnet::HandlerFactory StandardShellFactory(std::shared_ptr<access::AccessControl> access);

struct SshSettings {
  std::string hostKeyPath;        // made on first start (see ssh::LoadOrCreateHostKey)
  std::string authorizedKeysDir;  // empty: no key logins
  // A write that makes no progress for this long ends the connection.
  std::chrono::milliseconds writeLimit = telnet::kDefaultWriteLimit;
};

// Serves the SSH connections of the listener's second port with `shell`: logins against the
// users of `access` (password, or a key of the folder), its brute-force limiter and audit
// trail (lines with transport=ssh).
telnet::StreamServer SshService(const SshSettings& settings,
                                std::shared_ptr<access::AccessControl> access,
                                std::shared_ptr<const telnet::SessionConfig> shell,
                                std::u16string loginMessage);

// Records now as the moment the service started (what the uptime command reports).
void MarkServiceStart();

}  // namespace velmar::app
