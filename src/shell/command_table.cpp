#include "shell/command_table.h"

#include "shell/change_dir.h"
#include "shell/find.h"
#include "shell/help.h"
#include "shell/history.h"
#include "shell/list.h"
#include "shell/ping.h"
#include "shell/run_script.h"
#include "shell/set_value.h"
#include "shell/show.h"
#include "shell/tree.h"
#include "shell/uptime.h"
#include "shell/watch.h"

namespace velmar::shell {

namespace {
constexpr std::uint8_t kLevelOperator = 5;
constexpr bool kChangesHome = true;
}  // namespace

const telnet::CommandTable& CommandTable() {
  // "CD.." and "CD\" are words of their own: the command word ends only at a space. The
  // level is the lowest user level that may run the command: 1 looks around, 5 also changes
  // the home (set, run) and reaches out to the network (ping).
  static const telnet::CommandTable table = {
      {{u"RUN", u"EXEC", u"EXECUTE"}, RunScript, kLevelOperator, kChangesHome},
      {{u"LS", u"LIST", u"DIR"}, List},
      {{u"CD", u"CD..", u"CD\\"}, ChangeDir},
      {{u"SHOW"}, Show},
      {{u"SET", u"SETVALUE"}, SetValue, kLevelOperator, kChangesHome},
      {{u"FIND"}, Find},
      {{u"UPTIME"}, Uptime},
      {{u"PING"}, Ping, kLevelOperator},
      HelpCommand(),
      HistoryCommand(),
      {{u"WATCH"}, Watch},
      {{u"TREE"}, Tree},
  };
  return table;
}

}  // namespace velmar::shell
