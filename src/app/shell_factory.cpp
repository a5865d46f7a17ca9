#include "app/shell_factory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "api/json_rpc.h"
#include "platform/logger.h"
#include "platform/unique_fd.h"
#include "shell/command_table.h"
#include "shell/complete.h"
#include "shell/uptime.h"
#include "ssh/server.h"
#include "ssh/shell_channel.h"

namespace velmar::app {

namespace {

constexpr std::string_view kSsh = "ssh";

ssh::LoginCheck SshCheck(access::LoginOutcome outcome) {
  switch (outcome) {
    case access::LoginOutcome::LoggedIn:
      return ssh::LoginCheck::kAccepted;
    case access::LoginOutcome::ShutOut:
      return ssh::LoginCheck::kShutOut;
    case access::LoginOutcome::Busy:
      return ssh::LoginCheck::kBusy;
    case access::LoginOutcome::Failed:
    case access::LoginOutcome::Abandoned:
      break;
  }
  return ssh::LoginCheck::kRejected;
}

}  // namespace

std::shared_ptr<const telnet::SessionConfig> StandardSessionConfig(
    std::shared_ptr<access::AccessControl> access, telnet::IdleLimit idle) {
  auto config = std::make_shared<telnet::SessionConfig>();
  config->idle = idle;
  config->commands = shell::CommandTable();
  config->commands.push_back(access::WhoCommand(access));
  config->access = std::move(access);
  // Each connection thread talks to the server through its own HTTP client, from connect to
  // disconnect.
  config->onConnect = [](telnet::Session&) { api::InitializeRPCForThread(); };
  config->onDisconnect = [](telnet::Session&) { api::FinalizeRPCForThread(); };
  config->complete = [](telnet::Session& session, std::u16string_view beforeCursor) {
    return shell::CompleteCommandLine(beforeCursor, session.CommandWords(),
                                      [&session] { return shell::ChildNames(session.currentDir); });
  };
  return config;
}

telnet::HandlerFactory StandardShellFactory(std::shared_ptr<access::AccessControl> access) {
  return telnet::MakeSessionFactory(StandardSessionConfig(std::move(access)));
}

telnet::StreamServer SshService(const SshSettings& settings,
                                std::shared_ptr<access::AccessControl> access,
                                std::shared_ptr<const telnet::SessionConfig> shell,
                                std::u16string loginMessage) {
  auto config = std::make_shared<ssh::ServerConfig>();
  config->hostKeyPath = settings.hostKeyPath;
  config->authorizedKeysDir = settings.authorizedKeysDir;
  config->writeLimit = settings.writeLimit;
  config->admit = [access](const std::string& address) {
    return access->TransportOpened(address, kSsh);
  };
  config->checkPassword = [access](const std::string& user, std::string_view password,
                                   const std::string& address,
                                   const std::function<bool()>& connected) {
    return SshCheck(access->CheckPassword(user, password, address, kSsh, connected));
  };
  config->checkKey = [access](const std::string& user, const ssh::KeyOffer& key,
                              const std::string& address) {
    return SshCheck(
        access->CheckKey(user, {key.fingerprint, key.authorized, key.proven}, address, kSsh));
  };
  config->closed = [access](const std::string& address, const std::string& user) {
    access->TransportClosed(address, user, kSsh);
  };
  config->onSession = [shell = std::move(shell), loginMessage = std::move(loginMessage)](
                          ssh::Channel& channel) { ssh::RunShell(channel, shell, loginMessage); };
  return [config](int fd, const std::string& peer) {
    // The session closes its own descriptor; the listener keeps the socket's.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
      platform::Log("SSH connection " + peer +
                    " dropped: no descriptor for it: " + std::strerror(errno));
      return;
    }
    ssh::Serve(own, peer, *config);
  };
}

void MarkServiceStart() {
  shell::SetUptimeStart();
}

}  // namespace velmar::app
