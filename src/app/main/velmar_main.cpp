// velmar: the service without a window. The options fill the window's fields, Connect is
// pressed once at start, and every state the window would show is printed to stdout as it
// changes. The service runs until the shutdown timer fires or SIGINT/SIGTERM arrives.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "access/access_control.h"
#include "api/http_client.h"
#include "api/json_rpc.h"
#include "app/controller.h"
#include "app/options.h"
#include "platform/logger.h"
#include "platform/open_files.h"
#include "sim/simulator.h"
#include "ssh/keys.h"
#include "text/encoding.h"

namespace velmar::app {
namespace {

// Turns SIGINT and SIGTERM into a stop request, and SIGHUP into a call of the hang-up
// action (reload the users file, reopen the audit log). The signals are blocked in every
// thread and taken by one thread of their own, so that no other thread is ever interrupted;
// a stop request also aborts an HTTP request in flight, such as a server check that hangs.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    // Before any other thread exists, so that all of them inherit the mask.
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] { Run(); });
  }

  ~StopSignals() {
    exiting_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

  // Waits until a stop is requested or `deadline` passes; true when a stop was requested.
  bool WaitUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    if (deadline) return changed_.wait_until(lock, *deadline, [this] { return requested_; });
    changed_.wait(lock, [this] { return requested_; });
    return true;
  }

  bool requested() {
    std::lock_guard lock(mutex_);
    return requested_;
  }

  // Run on the signal thread for each SIGHUP; set once, before the service starts.
  void setHangupAction(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    hangup_ = std::move(action);
  }

 private:
  void Run() {
    for (;;) {
      int signal = 0;
      if (sigwait(&set_, &signal) != 0) continue;
      if (exiting_.load()) return;
      if (signal == SIGHUP) {
        std::function<void()> action;
        {
          std::lock_guard lock(mutex_);
          action = hangup_;
        }
        if (action) action();
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        requested_ = true;
      }
      api::AbortAllTransfers();
      changed_.notify_all();
    }
  }

  sigset_t set_;
  std::atomic<bool> exiting_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
  std::function<void()> hangup_;
  std::thread thread_;
};

// The access settings from the options: users file, audit log, read-only mode. Prints why
// and returns null when the users file or the audit log cannot be used.
std::shared_ptr<access::AccessControl> MakeAccessControl(const Options& options) {
  access::AccessSettings settings;
  settings.readOnly = options.readOnly;
  auto control = std::make_shared<access::AccessControl>(settings);
  try {
    if (!options.auditLog.empty()) control->audit().setFile(options.auditLog);
    if (!options.users.empty()) {
      std::vector<std::string> warnings;
      auto users =
          std::make_shared<const access::Users>(access::LoadUsersFile(options.users, &warnings));
      for (const auto& warning : warnings) platform::LogWarning(warning);
      control->SetUsers(std::move(users));
    }
  } catch (const std::exception& e) {
    platform::Log(e.what());
    return nullptr;
  }
  return control;
}

// The SSH host key: made on the first start, its fingerprint printed at every start, so that
// users can check what their client shows. False (after saying why) when it cannot be used.
bool PrepareSshHostKey(const Options& options, SshSettings& ssh) {
  ssh.hostKeyPath = options.sshHostKey.empty() ? ssh::DefaultHostKeyPath() : options.sshHostKey;
  ssh.authorizedKeysDir = options.sshAuthorizedKeys;
  try {
    const ssh::Key key = ssh::LoadOrCreateHostKey(ssh.hostKeyPath);
    platform::Log("SSH host key " + ssh.hostKeyPath + ": ED25519 " + ssh::Fingerprint(key.get()));
  } catch (const std::exception& e) {
    platform::Log(e.what());
    return false;
  }
  return true;
}

// SIGHUP: the users file is read again (a bad one keeps the users loaded before) and the
// audit log is opened again by its name (after logrotate has moved it away).
void Reload(access::AccessControl& control, const Options& options) {
  if (!options.users.empty()) {
    std::vector<std::string> warnings;
    const std::string error = access::ReloadUsers(control, options.users, &warnings);
    for (const auto& warning : warnings) platform::LogWarning(warning);
    if (error.empty()) {
      platform::Log("users file reloaded: " + std::to_string(control.users()->size()) + " users");
    } else {
      platform::Log("the users file was not reloaded, the users loaded before stay: " + error);
    }
  }
  const std::string error = control.audit().Reopen();
  if (!error.empty()) platform::Log(error);
}

std::u16string ToField(const std::string& utf8) {
  return text::Utf8ToUtf16(utf8);
}

std::string JoinEndpoints(const std::vector<std::string>& endpoints) {
  std::string joined;
  for (const std::string& endpoint : endpoints) {
    if (!joined.empty()) joined += ", ";
    joined += endpoint;
  }
  return joined;
}

// The address and port of an endpoint as a client reaches it: the wildcards on loopback.
std::pair<std::string, std::string> Reachable(const std::string& endpoint) {
  std::size_t colon = endpoint.rfind(':');
  std::string address = endpoint.substr(0, colon);
  std::string port = endpoint.substr(colon + 1);
  if (address == "0.0.0.0") address = "127.0.0.1";
  if (address == "[::]") address = "::1";
  if (address.size() > 2 && address.front() == '[') address = address.substr(1, address.size() - 2);
  return {address, port};
}

std::string TelnetCommand(const std::string& endpoint) {
  const auto [address, port] = Reachable(endpoint);
  return "telnet " + address + " " + port;
}

std::string SshCommand(const std::string& endpoint) {
  const auto [address, port] = Reachable(endpoint);
  return "ssh -p " + port + " USER@" + address;
}

// The demo server on 127.0.0.1, started; nullptr (after saying why on stderr) when it cannot
// start.
std::unique_ptr<sim::Simulator> StartDemoServer(int port) {
  sim::SimulatorOptions simOptions;
  simOptions.bind = "127.0.0.1";
  simOptions.port = port;
  // The logged demo variables change every few seconds, so that the home looks alive.
  simOptions.liveSeconds = 5;
  auto server = std::make_unique<sim::Simulator>(simOptions);
  try {
    server->start();
  } catch (const std::exception& e) {
    platform::Log("cannot start the demo server on 127.0.0.1:" + std::to_string(port) + ": " +
                  e.what());
    return nullptr;
  }
  platform::Log("demo server (a simulated IP-Symcon with a demo home) on http://127.0.0.1:" +
                std::to_string(server->port()) + "/api/");
  return server;
}

ControllerSettings SettingsOf(const Options& options,
                              std::shared_ptr<access::AccessControl> accessControl,
                              const SshSettings& ssh) {
  ControllerSettings settings;
  if (options.sshPort >= 0) {
    settings.sshPort = static_cast<std::uint16_t>(options.sshPort);
    settings.ssh = ssh;
  }
  settings.shutdownInterval = std::chrono::milliseconds(
      static_cast<long long>(std::llround(options.shutdownMinutes * 60000.0)));
  settings.useTls = options.tls;
  settings.verifyTls = !options.insecure;
  settings.listenAddresses = options.listen;
  settings.access = std::move(accessControl);
  settings.maxConnections = static_cast<std::size_t>(options.maxConnections);
  settings.maxPerAddress = static_cast<std::size_t>(options.maxPerAddress);
  settings.idle.minutes = options.idleMinutes;
  settings.serverDescriptorsPerSession =
      ServerDescriptorsPerSession(options.parallelRequests, options.demo);
  return settings;
}

// Prints each state the window would show, as it changes, on a line of its own on stdout.
void PrintStates(DisplayItem item, const DisplayState& state) {
  std::u16string line;
  switch (item) {
    case DisplayItem::Status:
      line = state.status;
      break;
    case DisplayItem::Telnet:
      line = state.telnet;
      break;
    case DisplayItem::Version:
      line = state.version;
      break;
    case DisplayItem::ConnectButton:
      return;
  }
  if (line.empty()) return;
  std::cout << text::Utf16ToUtf8(line) << std::endl;
}

// The exit status for a Connect that did not finish, after saying why on stderr.
int ReportConnectFailure(const ConnectResult& result) {
  switch (result.outcome) {
    case ConnectOutcome::Done:
      return kExitOk;
    case ConnectOutcome::ServerCheckFailed:
      platform::Log("the server check (IPS_GetKernelVersion) failed for " + result.url + ": " +
                    result.message);
      return kExitServerCheck;
    case ConnectOutcome::ListenFailed:
      platform::Log(result.message);
      return kExitListen;
    case ConnectOutcome::TelnetPortInvalid:
    case ConnectOutcome::ConsoleCharsInvalid:
      platform::Log(result.message);
      return kExitUsage;
  }
  return kExitUsage;
}

// A warning when the open-file limit cannot serve --max-connections: the listener refuses
// connections beyond what it can serve, and the operator should know before they come.
void WarnIfTooFewOpenFiles(const Controller& controller, const Options& options) {
  const telnet::Listener& listener = controller.listener();
  const std::size_t budget = listener.descriptorBudget();
  if (budget == platform::kNoOpenFileLimit) return;
  std::size_t perConnection = listener.descriptorsPerConnection(false);
  if (options.sshPort >= 0) {
    perConnection = std::max(perConnection, listener.descriptorsPerConnection(true));
  }
  const std::size_t served = budget / std::max<std::size_t>(perConnection, 1);
  const auto wanted = static_cast<std::size_t>(options.maxConnections);
  if (wanted != 0 && wanted <= served) return;
  platform::LogWarning(
      "the open-file limit (" + std::to_string(platform::OpenFileLimit()) + ") serves about " +
      std::to_string(served) + " connections at once (each may need " +
      std::to_string(perConnection) + " descriptors), fewer than --max-connections " +
      (wanted == 0 ? std::string("0 (no limit)") : std::to_string(wanted)) +
      "; more are refused until others end (raise the hard limit: ulimit -Hn, or LimitNOFILE= "
      "for the service)");
}

// Where the listener listens, a warning when that is not loopback only, and how to connect.
void AnnounceListening(const Controller& controller, const Options& options) {
  std::vector<std::string> endpoints = controller.listener().boundEndpoints();
  platform::Log("Telnet listening on " + JoinEndpoints(endpoints));
  bool exposed = options.listen.empty();
  for (const std::string& address : options.listen) exposed |= !IsLoopbackAddress(address);
  if (!options.users.empty()) {
    platform::Log(
        "Telnet clients log in: " + std::to_string(controller.settings().access->users()->size()) +
        " users in " + options.users);
  } else if (exposed) {
    platform::LogWarning(
        "the Telnet shell has no login; anyone who can reach this port controls the IP-Symcon "
        "server (use --listen 127.0.0.1 to keep it local)");
  }
  if (!endpoints.empty()) {
    platform::Log("connect with: " + TelnetCommand(endpoints.front()) +
                  "   (type help in the shell; Ctrl+C here stops Velmar)");
  }
  const std::vector<std::string> sshEndpoints = controller.listener().boundSecondEndpoints();
  if (!sshEndpoints.empty()) {
    platform::Log("SSH listening on " + JoinEndpoints(sshEndpoints));
    platform::Log("connect with: " + SshCommand(sshEndpoints.front()));
  }
}

int Run(const Options& options) {
  StopSignals stop;
  std::shared_ptr<access::AccessControl> accessControl = MakeAccessControl(options);
  if (!accessControl) return kExitUsage;
  stop.setHangupAction([accessControl, &options] { Reload(*accessControl, options); });
  SshSettings ssh;
  if (options.sshPort >= 0 && !PrepareSshHostKey(options, ssh)) return kExitUsage;
  api::InitializeRPCModule();
  api::SetConnectionUse({.reuse = options.httpReuse, .parallel = options.parallelRequests});

  std::unique_ptr<sim::Simulator> demoServer;
  std::string host = options.host;
  int port = options.port;
  if (options.demo) {
    demoServer = StartDemoServer(options.demoPort);
    if (!demoServer) return kExitServerCheck;
    host = "127.0.0.1";
    port = demoServer->port();
  }

  api::SetRequestLimits(
      {.timeoutSeconds = options.requestTimeoutSeconds,
       .maxReplyBytes = static_cast<std::size_t>(options.maxReplyMib) * api::kMebibyte});
  Controller controller(SettingsOf(options, accessControl, ssh));
  controller.setObserver(PrintStates);
  controller.FormCreate();
  const ConnectResult result =
      controller.Connect({ToField(host), port, ToField(options.username), ToField(options.password),
                          options.telnetPort, options.consoleChars});
  if (stop.requested()) {
    controller.TimerShutdownTimer();
    return kExitOk;
  }
  if (result.outcome != ConnectOutcome::Done) return ReportConnectFailure(result);
  // A server that closes every connection after one reply costs a failed attempt now and
  // then; the user can spare it.
  if (api::ServerClosedKeptConnection(25))
    platform::Log(
        "note: the server closed its connection right after the first reply instead of keeping "
        "it; --http-reuse off opens a new one for each request");
  AnnounceListening(controller, options);
  WarnIfTooFewOpenFiles(controller, options);

  // Until the shutdown timer fires or a stop is requested; either switches the service off.
  stop.WaitUntil(controller.nextShutdown());
  controller.TimerFired();
  if (demoServer) demoServer->stop();
  api::FinalizeRPCModule();
  return kExitOk;
}

}  // namespace
}  // namespace velmar::app

int main(int argc, char** argv) {
  using namespace velmar::app;
  ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  if (!parsed.run) {
    std::fputs(parsed.out.c_str(), stdout);
    std::fputs(parsed.err.c_str(), stderr);
    return parsed.exitCode;
  }
  // A client or a reader of stdout that goes away must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  // Every connection needs descriptors; the usual soft limit of 1024 would serve only a few
  // hundred.
  velmar::platform::RaiseOpenFileLimit();
  return Run(parsed.options);
}
