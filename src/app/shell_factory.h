// Wiring between the service host and the shell: which commands a Telnet connection gets and
// what every connection thread sets up and releases.
#pragma once

#include <memory>

#include "access/access_control.h"
#include "telnet/listener.h"

namespace velmar::app {

// Gives every connection a shell session with the full command table (and who), whose
// login, levels and audit lines `access` decides; each connection thread owns its API
// client from connect to disconnect.
telnet::HandlerFactory StandardShellFactory(std::shared_ptr<access::AccessControl> access);

// Records now as the moment the service started (what the uptime command reports).
void MarkServiceStart();

}  // namespace velmar::app
