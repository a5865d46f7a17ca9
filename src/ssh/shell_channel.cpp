#include "ssh/shell_channel.h"

#include "ssh/channel_client.h"
#include "telnet/command_list.h"
#include "telnet/line_input.h"
#include "telnet/listener.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::ssh {

namespace {

int ExitStatus(telnet::CommandResult result) {
  switch (result) {
    case telnet::CommandResult::kDone:
      return kExitDone;
    case telnet::CommandResult::kFailed:
      return kExitFailed;
    case telnet::CommandResult::kDenied:
      return kExitDenied;
  }
  return kExitFailed;
}

int RunCommands(Channel& channel, ChannelClient& client,
                const std::shared_ptr<const telnet::SessionConfig>& config) {
  telnet::Session session(client, config);
  int status = kExitUnreachable;
  try {
    if (!session.OpenForCommands()) {
      status = kExitDenied;
    } else {
      const std::u16string list = text::Utf8ToUtf16(*channel.command());
      if (list.size() > telnet::kMaxLineLength) {
        // As an interactive line: part of a longer one could never be told from the whole.
        session.Fail(telnet::LineTooLongMessage());
        status = kExitFailed;
      } else {
        status = ExitStatus(session.RunCommandList(telnet::SplitCommandList(list)));
      }
    }
  } catch (const std::exception& e) {
    channel.writeError(text::InertUtf8(e.what()) + "\n");
  }
  try {
    session.TelnetDisconnect();
  } catch (...) {
    // The hooks' failures change nothing for the client.
  }
  return status;
}

}  // namespace

void RunShell(Channel& channel, const std::shared_ptr<const telnet::SessionConfig>& config,
              const std::u16string& loginMessage) {
  const bool oneShot = channel.command().has_value();
  ChannelClient client(channel, oneShot);
  if (oneShot) {
    channel.setExitStatus(RunCommands(channel, client, config));
    return;
  }
  telnet::ServeClient(client, telnet::MakeSessionFactory(config), loginMessage);
  channel.setExitStatus(kExitDone);
}

}  // namespace velmar::ssh
