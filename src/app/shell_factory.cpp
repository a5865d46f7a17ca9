#include "app/shell_factory.h"

#include <memory>

#include "api/json_rpc.h"
#include "shell/command_table.h"
#include "shell/uptime.h"
#include "telnet/session.h"

namespace velmar::app {

telnet::HandlerFactory StandardShellFactory(std::shared_ptr<access::AccessControl> access) {
  auto config = std::make_shared<telnet::SessionConfig>();
  config->commands = shell::CommandTable();
  config->commands.push_back(access::WhoCommand(access));
  config->access = std::move(access);
  // Each connection thread talks to the server through its own HTTP client, from connect to
  // disconnect.
  config->onConnect = [](telnet::Session&) { api::InitializeRPCForThread(); };
  config->onDisconnect = [](telnet::Session&) { api::FinalizeRPCForThread(); };
  return telnet::MakeSessionFactory(std::move(config));
}

void MarkServiceStart() {
  shell::SetUptimeStart();
}

}  // namespace velmar::app
