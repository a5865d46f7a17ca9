#include "app/shell_factory.h"

#include <memory>

#include "api/json_rpc.h"
#include "telnet/session.h"

#if __has_include("shell/command_table.h")
#include "shell/command_table.h"
#define VELMAR_HAVE_COMMAND_TABLE 1
#else
#include "shell/change_dir.h"
#include "shell/find.h"
#include "shell/list.h"
#include "shell/ping.h"
#include "shell/run_script.h"
#include "shell/set_value.h"
#include "shell/show.h"
#if __has_include("shell/help.h")
#include "shell/help.h"
#define VELMAR_HAVE_HELP 1
#endif
#endif
#include "shell/uptime.h"

namespace velmar::app {
namespace {

telnet::CommandTable Commands() {
#ifdef VELMAR_HAVE_COMMAND_TABLE
  return shell::CommandTable();
#else
  // The shell's words in the order they are tried.
  telnet::CommandTable table = {
      {{u"RUN", u"EXEC", u"EXECUTE"}, shell::RunScript},
      {{u"LS", u"LIST", u"DIR"}, shell::List},
      {{u"CD", u"CD..", u"CD\\"}, shell::ChangeDir},
      {{u"SHOW"}, shell::Show},
      {{u"SET", u"SETVALUE"}, shell::SetValue},
      {{u"FIND"}, shell::Find},
      {{u"UPTIME"}, shell::Uptime},
      {{u"PING"}, shell::Ping},
  };
#ifdef VELMAR_HAVE_HELP
  table.push_back({{u"HELP"}, shell::help});
#endif
  return table;
#endif
}

}  // namespace

telnet::HandlerFactory StandardShellFactory() {
  auto config = std::make_shared<telnet::SessionConfig>();
  config->commands = Commands();
  config->onConnect = [](telnet::Session&) { api::InitializeRPCForThread(); };
  config->onDisconnect = [](telnet::Session&) { api::FinalizeRPCForThread(); };
  return telnet::MakeSessionFactory(std::move(config));
}

void MarkServiceStart() {
  shell::SetUptimeStart();
}

}  // namespace velmar::app
