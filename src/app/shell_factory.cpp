#include "app/shell_factory.h"

#include <memory>

#include "api/json_rpc.h"
#include "telnet/session.h"

#if __has_include("shell/command_table.h")
#include "shell/command_table.h"
#define VELMAR_HAVE_COMMAND_TABLE 1
#endif
#if __has_include("shell/uptime.h")
#include "shell/uptime.h"
#endif

namespace velmar::app {

telnet::HandlerFactory StandardShellFactory() {
  auto config = std::make_shared<telnet::SessionConfig>();
#ifdef VELMAR_HAVE_COMMAND_TABLE
  config->commands = shell::CommandTable();
#endif
  config->onConnect = [](telnet::Session&) { api::InitializeRPCForThread(); };
  config->onDisconnect = [](telnet::Session&) { api::FinalizeRPCForThread(); };
  return telnet::MakeSessionFactory(std::move(config));
}

void MarkServiceStart() {}

}  // namespace velmar::app
