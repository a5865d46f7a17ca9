#include "app/controller.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "api/http_client.h"
#include "api/json_rpc.h"
#include "api/server_calls.h"
#include "app/shell_factory.h"
#include "core/error.h"
#include "platform/logger.h"
#include "text/arguments.h"
#include "text/console_layout.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::app {

Rgb ToRgb(StatusColor color) {
  return color == StatusColor::Green ? Rgb{0, 128, 0} : Rgb{128, 0, 0};
}

std::size_t ServerDescriptorsPerSession(int parallelRequests, bool serverInProcess) {
  const auto connections = static_cast<std::size_t>(std::max(parallelRequests, 1)) + 1;
  return connections * (serverInProcess ? 2 : 1) + 2;
}

Controller::Controller(ControllerSettings settings) : settings_(std::move(settings)) {
  if (!settings_.access) settings_.access = std::make_shared<access::AccessControl>();
  listener_.setLoginMessage(kLoginMessage);
  listener_.setBindings(settings_.listenAddresses);
  listener_.setConnectionLimits(settings_.maxConnections, settings_.maxPerAddress);
  listener_.setWriteLimit(settings_.writeLimit);
  // The second service, when there is one, is SSH.
  listener_.setRefusalHook(
      [access = settings_.access](const std::string& address, bool ssh, std::string_view reason) {
        access->ConnectionRefused(address, ssh ? "ssh" : "telnet", reason);
      });
  listener_.setAdmissionGate([access = settings_.access](const std::string& peer, bool ssh) {
    return access->AdmitConnection(peer, ssh ? "ssh" : "telnet");
  });
  if (settings_.serverDescriptorsPerSession > 0) {
    // A Telnet connection is its socket; an SSH one also the copy its session owns and the
    // host key file libssh reads while it accepts.
    listener_.setDescriptorsPerConnection(1 + settings_.serverDescriptorsPerSession,
                                          3 + settings_.serverDescriptorsPerSession);
  }
  const auto shell = StandardSessionConfig(settings_.access, settings_.idle);
  listener_.setHandlerFactory(settings_.handlerFactory ? settings_.handlerFactory
                                                       : telnet::MakeSessionFactory(shell));
  if (settings_.sshPort) {
    SshSettings ssh = settings_.ssh;
    ssh.writeLimit = settings_.writeLimit;
    listener_.setSecondService(*settings_.sshPort,
                               SshService(ssh, settings_.access, shell, kLoginMessage));
  }
  listener_.setFailureHook([this](const std::string& endpoint, const std::string& what) {
    listenerFailed(endpoint, what);
  });
  // A closed socket does not wake a connection thread that waits for the server; aborting
  // the transfers in flight does, so switch-off never hangs on a slow server.
  listener_.setSwitchOffHook([] { api::AbortAllTransfers(); });
}

Controller::~Controller() {
  listener_.setActive(false);
  api::ResumeTransfers();
}

void Controller::FormCreate() {
  MarkServiceStart();
  setVersion(u"");
  fields_.consoleChars = text::Utf8ToUtf16(std::to_string(text::gConsoleChars.load()));
  if (settings_.shutdownInterval.count() > 0)
    next_ = std::chrono::steady_clock::now() + settings_.shutdownInterval;
}

std::int32_t NumberInput::Read() const {
  return value_ ? *value_ : text::StrToInt(text_);
}

std::u16string NumberInput::Text() const {
  return value_ ? text::IntToStr(*value_) : text_;
}

ConnectInput Controller::FieldInput() const {
  return {fields_.host,     fields_.port,       fields_.username,
          fields_.password, fields_.telnetPort, fields_.consoleChars};
}

std::string Controller::ApiUrl() const {
  return ApiUrl(FieldInput());
}

std::string Controller::ApiUrl(const ConnectInput& input) const {
  std::int32_t port = 0;
  try {
    port = input.port.Read();
  } catch (const Error&) {
    return {};
  }
  return (settings_.useTls ? "https://" : "http://") + text::Utf16ToUtf8(input.host) + ":" +
         std::to_string(port) + "/api/";
}

ConnectResult Controller::BtnConnectClick() {
  return Connect(FieldInput());
}

ConnectResult Controller::Connect(const ConnectInput& input) {
  // Store the connection settings and check the server. Any failure ends the action
  // here and leaves the display as it was.
  std::string url = ApiUrl(input);
  try {
    std::string username = text::UnicodeToCodePage(input.username);
    std::string password = text::UnicodeToCodePage(input.password);
    std::int32_t port = input.port.Read();
    std::string host = text::UnicodeToCodePage(input.host);
    api::InitializeRPC(
        host, port, settings_.useTls, username, password,
        settings_.verifyTls ? api::TlsVerification::Verify : api::TlsVerification::Skip);
    std::string version = api::IPS_GetKernelVersion();
    setVersion(u"IPS Version " + text::Inert(text::CodePageToUnicode(version)) + u" detected.");
  } catch (const std::exception& e) {
    // The message may carry the server's own error text.
    return {ConnectOutcome::ServerCheckFailed, text::InertUtf8(e.what()), url};
  }
  setStatus(kStatusConnected, StatusColor::Green);

  // The Telnet port. The listener's port is 16 bits wide; a larger number is refused
  // rather than wrapped round to some other port.
  std::int32_t telnetPort = 0;
  try {
    telnetPort = input.telnetPort.Read();
  } catch (const Error& e) {
    return {ConnectOutcome::TelnetPortInvalid, e.what(), url};
  }
  if (telnetPort < 0 || telnetPort > 65535) {
    return {ConnectOutcome::TelnetPortInvalid,
            "'" + text::Utf16ToUtf8(input.telnetPort.Text()) +
                "' is not a valid port number (0 to 65535)",
            url};
  }

  // Switch the listener on. It may still be on from a press that stopped at the
  // console width; then it stays as it is.
  if (!listener_.active()) {
    listener_.setDefaultPort(static_cast<std::uint16_t>(telnetPort));
    try {
      listener_.setActive(true);
    } catch (const std::exception& e) {
      return {ConnectOutcome::ListenFailed, e.what(), url};
    }
  }
  setTelnet(kTelnetOnline, StatusColor::Green);

  // The console width for all Telnet output. A width beyond what any terminal shows would only
  // make the pages laid out for it grow without use.
  std::int32_t consoleChars = 0;
  try {
    consoleChars = input.consoleChars.Read();
  } catch (const Error& e) {
    return {ConnectOutcome::ConsoleCharsInvalid, e.what(), url};
  }
  if (consoleChars > kMaxConsoleChars) {
    return {ConnectOutcome::ConsoleCharsInvalid,
            "'" + text::Utf16ToUtf8(input.consoleChars.Text()) +
                "' is not a valid console width (at most " + std::to_string(kMaxConsoleChars) +
                " characters)",
            url};
  }
  text::gConsoleChars.store(consoleChars);
  setConnectEnabled(false);
  return {ConnectOutcome::Done, {}, url};
}

void Controller::TimerShutdownTimer() {
  listener_.setActive(false);
  // The switch-off hook aborted the transfers of the connection threads, which are gone
  // now; later requests of this process may run again.
  api::ResumeTransfers();
  setTelnet(kTelnetOffline, StatusColor::DarkRed);
  api::FinalizeRPCForThread();
  setStatus(kStatusDisconnected, StatusColor::DarkRed);
}

void Controller::TimerFired() {
  if (next_) next_ = *next_ + settings_.shutdownInterval;
  TimerShutdownTimer();
}

DisplayState Controller::display() const {
  std::lock_guard lock(displayMutex_);
  return display_;
}

void Controller::listenerFailed(const std::string& endpoint, const std::string& what) {
  std::lock_guard lock(displayMutex_);
  if (display_.telnet == kTelnetOffline) return;  // every binding reports its own end
  platform::Log("the listener on " + endpoint + " has failed (" + what +
                "): no more connections are taken; those in go on until the service stops");
  setTelnet(kTelnetOffline, StatusColor::DarkRed);
}

void Controller::setStatus(std::u16string text, StatusColor color) {
  std::lock_guard lock(displayMutex_);
  display_.status = std::move(text);
  display_.statusColor = color;
  notify(DisplayItem::Status);
}

void Controller::setTelnet(std::u16string text, StatusColor color) {
  std::lock_guard lock(displayMutex_);
  display_.telnet = std::move(text);
  display_.telnetColor = color;
  notify(DisplayItem::Telnet);
}

void Controller::setVersion(std::u16string text) {
  std::lock_guard lock(displayMutex_);
  display_.version = std::move(text);
  notify(DisplayItem::Version);
}

void Controller::setConnectEnabled(bool enabled) {
  std::lock_guard lock(displayMutex_);
  display_.connectEnabled = enabled;
  notify(DisplayItem::ConnectButton);
}

void Controller::notify(DisplayItem item) {
  std::lock_guard lock(displayMutex_);
  if (observer_) observer_(item, display_);
}

}  // namespace velmar::app
