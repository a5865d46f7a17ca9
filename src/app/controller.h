// The service host: the control window's fields, actions and displayed states, without any
// toolkit. The Qt window and the headless `velmar` are thin layers over one Controller.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/access_control.h"
#include "app/shell_factory.h"
#include "telnet/listener.h"

namespace velmar::app {

// The two colours of the status labels.
enum class StatusColor {
  DarkRed,  // RGB 128, 0, 0
  Green,    // RGB 0, 128, 0
};

struct Rgb {
  int red, green, blue;
};
Rgb ToRgb(StatusColor color);

// The texts the window shows, exactly as it shows them.
inline constexpr char16_t kStatusConnected[] = u"Connected";
inline constexpr char16_t kStatusDisconnected[] = u"Disconected";  // sic: the window's text
inline constexpr char16_t kTelnetOnline[] = u"Online";
inline constexpr char16_t kTelnetOffline[] = u"Offline";
inline constexpr char16_t kLoginMessage[] = u"Have a lot of fun...";

// The operator's input: the text fields as typed. The numeric ones are read when Connect is
// pressed, so that an empty or malformed field fails at the step that needs it.
struct Fields {
  std::u16string host = u"127.0.0.1";
  std::u16string port = u"3777";
  std::u16string username;
  std::u16string password;
  std::u16string telnetPort = u"23";
  std::u16string consoleChars;  // filled with the console width by FormCreate
};

// One number that Connect needs: already read (the headless service's options), or the text of
// a window field, read only when the step that needs it comes.
class NumberInput {
 public:
  // Implicit, so that a ConnectInput is written with numbers or field texts as they are.
  NumberInput(std::int32_t value) : value_(value) {}
  NumberInput(std::u16string text) : text_(std::move(text)) {}

  // The number; for text that is none, velmar::Error "'<text>' is not a valid integer value".
  std::int32_t Read() const;
  // The input as the operator gave it, for messages.
  std::u16string Text() const;

 private:
  std::optional<std::int32_t> value_;
  std::u16string text_;
};

// What Connect works with: the fields of the window, or the same values from elsewhere.
struct ConnectInput {
  std::u16string host;
  NumberInput port;
  std::u16string username;
  std::u16string password;
  NumberInput telnetPort;
  NumberInput consoleChars;
};

// What the window shows besides the fields.
struct DisplayState {
  std::u16string status = kStatusDisconnected;
  StatusColor statusColor = StatusColor::DarkRed;
  std::u16string telnet = kTelnetOffline;
  StatusColor telnetColor = StatusColor::DarkRed;
  std::u16string version;  // "IPS Version <v> detected." after a successful check
  bool connectEnabled = true;
};

// Which part of the display an assignment touched.
enum class DisplayItem { Status, Telnet, Version, ConnectButton };

// Settings that the window fixes and the headless service lets the operator choose.
struct ControllerSettings {
  // Interval of the repeating shutdown timer, counted from FormCreate; zero means never.
  std::chrono::milliseconds shutdownInterval{600000};
  bool useTls = false;
  bool verifyTls = true;  // TLS only: check the server's certificate and host name
  // Numeric addresses for the Telnet listener; empty means the IPv4 and IPv6 wildcards.
  std::vector<std::string> listenAddresses;
  // Creates the shell of each Telnet connection; empty means the standard shell.
  telnet::HandlerFactory handlerFactory;
  // Login, levels, read-only mode and the audit trail of the standard shell; none means a
  // shell without login whose audit lines go to stderr.
  std::shared_ptr<access::AccessControl> access;
  // The SSH front end: the port (0: any free one) and the host key and key folder; none: no
  // SSH. It shares the listener (addresses, limits, switch-off) and the access control.
  std::optional<std::uint16_t> sshPort;
  SshSettings ssh;
  // Connections (Telnet and SSH together) at most at once and from one address (0: no limit).
  std::size_t maxConnections = 1000;
  std::size_t maxPerAddress = 64;
  // Descriptors that one session's server requests may hold at once (its kept connections,
  // one of its own for a change, a name lookup and ping's socket); with it, the listener counts
  // descriptors and refuses connections it could not serve. 0: not counted.
  std::size_t serverDescriptorsPerSession = 0;
  // A write to a client that makes no progress for this long ends its connection.
  std::chrono::milliseconds writeLimit = telnet::kDefaultWriteLimit;
  // A session idle at its prompt for this long is closed (60 minutes; 0: never).
  telnet::IdleLimit idle{60};
};

// The descriptors one session's server requests may hold at once with `parallelRequests` in
// flight: its kept connections, a new one for each change, a name lookup and ping's socket.
// A server in the same process (the demo) holds the other end of each connection as well.
std::size_t ServerDescriptorsPerSession(int parallelRequests, bool serverInProcess);

// How a press of Connect ended.
enum class ConnectOutcome {
  Done,                 // every step done: the service is on
  ServerCheckFailed,    // a field, the settings or the kernel version call failed
  TelnetPortInvalid,    // the Telnet port field is not a port number
  ListenFailed,         // the listener could not be switched on
  ConsoleCharsInvalid,  // the console width field is not a number, or above kMaxConsoleChars
};

// The widest console the Telnet output is laid out for.
inline constexpr std::int32_t kMaxConsoleChars = 1000;

struct ConnectResult {
  ConnectOutcome outcome = ConnectOutcome::Done;
  std::string message;  // UTF-8; why the step failed
  std::string url;      // the API endpoint of the server check, when it got that far
};

class Controller {
 public:
  // Called after every assignment to the display, on the thread that made it: the owner's,
  // or an accepting thread of the listener that has failed (see Listener::setFailureHook).
  using Observer = std::function<void(DisplayItem, const DisplayState&)>;

  explicit Controller(ControllerSettings settings = {});
  ~Controller();  // switches the listener off
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  Fields& fields() { return fields_; }
  const Fields& fields() const { return fields_; }
  // What the window shows now. The display may change on another thread too (a listener
  // that fails goes off on its accepting thread), so this is a copy.
  DisplayState display() const;
  const ControllerSettings& settings() const { return settings_; }
  void setObserver(Observer observer) { observer_ = std::move(observer); }

  // Once, when the window exists: records the service's start time, clears the version line,
  // shows the console width and starts the shutdown timer.
  void FormCreate();

  // The Connect action on the fields, step by step; stops at the first failing step and says
  // which.
  ConnectResult BtnConnectClick();
  // The same action on values given directly.
  ConnectResult Connect(const ConnectInput& input);

  // The shutdown timer's action: listener off (every connection closed and its thread
  // joined, HTTP transfers in flight aborted), this thread's API client released, both
  // status labels dark red. Safe to repeat on an idle service.
  void TimerShutdownTimer();

  // When the shutdown timer fires next; nullopt when the interval is zero or before
  // FormCreate. A front end without its own timer waits for this moment and then calls
  // TimerFired(), which runs the action and schedules the next firing.
  std::optional<std::chrono::steady_clock::time_point> nextShutdown() const { return next_; }
  void TimerFired();

  // Who may log in and what each may run; users set here apply to connections opened
  // afterwards.
  access::AccessControl& access() { return *settings_.access; }

  // The listener, for the endpoints it bound and its connection count.
  const telnet::Listener& listener() const { return listener_; }

  // The API endpoint that the current fields and settings name (empty when the port field
  // is not a number).
  std::string ApiUrl() const;

 private:
  ConnectInput FieldInput() const;
  std::string ApiUrl(const ConnectInput& input) const;
  void setStatus(std::u16string text, StatusColor color);
  void setTelnet(std::u16string text, StatusColor color);
  void setVersion(std::u16string text);
  void setConnectEnabled(bool enabled);
  void notify(DisplayItem item);
  void listenerFailed(const std::string& endpoint, const std::string& what);

  ControllerSettings settings_;
  Fields fields_;
  // Guards display_ and the observer's calls, which come in the order of the changes.
  mutable std::recursive_mutex displayMutex_;
  DisplayState display_;
  Observer observer_;
  telnet::Listener listener_;
  std::optional<std::chrono::steady_clock::time_point> next_;
};

}  // namespace velmar::app
