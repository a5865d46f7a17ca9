#include "shell/command_table.h"

#include "shell/change_dir.h"
#include "shell/find.h"
#include "shell/help.h"
#include "shell/list.h"
#include "shell/ping.h"
#include "shell/run_script.h"
#include "shell/set_value.h"
#include "shell/show.h"
#include "shell/uptime.h"

namespace velmar::shell {

const telnet::CommandTable& CommandTable() {
  // "CD.." and "CD\" are words of their own: the command word ends only at a space.
  static const telnet::CommandTable table = {
      {{u"RUN", u"EXEC", u"EXECUTE"}, RunScript},
      {{u"LS", u"LIST", u"DIR"}, List},
      {{u"CD", u"CD..", u"CD\\"}, ChangeDir},
      {{u"SHOW"}, Show},
      {{u"SET", u"SETVALUE"}, SetValue},
      {{u"FIND"}, Find},
      {{u"UPTIME"}, Uptime},
      {{u"PING"}, Ping},
      HelpCommand(),
  };
  return table;
}

}  // namespace velmar::shell
