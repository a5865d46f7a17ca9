#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/client.h"
#include "telnet/listener.h"

namespace velmar::telnet {

class Session;

// A shell command: called on the connection's thread with the session and the whole
// command line (first word included, in the case typed). It writes its own output.
using CommandHandler = std::function<void(Session& session, const std::u16string& commandline)>;

// One row of the dispatch table: the upper-case words that select the command, each named
// once, its handler, the lowest user level that may run it, and whether it changes the
// home (such commands are refused in read-only mode and leave an audit line).
struct Command {
  std::vector<std::u16string> words;
  CommandHandler handler;
  std::uint8_t level = 1;
  bool changesHome = false;
  // Only for users who logged in: the guest of a shell without login never sees the row.
  bool needsLogin = false;
};

// The commands in the order they are tried; the first row with a matching word wins.
using CommandTable = std::vector<Command>;

// The words that end a connection. The session tries them before any row of the table.
inline const std::vector<std::u16string> kExitWords = {u"EXIT", u"LOGOUT", u"BYE"};

// Who gets in and what each may run, decided in one place. Without a policy every client is
// admitted at once as the guest and may run every command.
class AccessPolicy {
 public:
  virtual ~AccessPolicy() = default;
  // First, before the greeting: false shuts the client out (the policy has told it why).
  virtual bool Opened(Session& session) = 0;
  // After the greeting's first line: the login, if the policy asks for one. Sets the
  // session's user and level on success; false ends the connection.
  virtual bool Login(Session& session) = 0;
  // Whether the session may run `command` now; a refusal is answered "Permission denied.".
  virtual bool Permit(Session& session, const Command& command,
                      const std::u16string& commandline) = 0;
  // After a permitted command: `outcome` is what it reported ("done" when nothing special).
  virtual void Ran(Session& session, const Command& command, const std::u16string& commandline,
                   const std::string& outcome) = 0;
  // Once, when the connection ends.
  virtual void Closed(Session& session) = 0;
};

// How long a session may wait at its prompt without any input before it is closed. A running
// command is never idle; the login has its own time limit.
struct IdleLimit {
  int minutes = 0;  // 0: never
  // How long a minute lasts; tests shorten it rather than wait.
  std::chrono::milliseconds minute{60000};
  std::chrono::milliseconds duration() const { return minute * minutes; }
};

// What every session of a listener shares; read-only once the listener is on.
struct SessionConfig {
  CommandTable commands;
  // Login, levels and audit; none: every client is the guest with every command.
  std::shared_ptr<AccessPolicy> access;
  // Run on the connection's thread at the end of the connect stage (after the greeting) and
  // once when the connection ends: the place for per-thread resources such as the API
  // client. A failure raised by onConnect is shown to the client and ends the connection.
  std::function<void(Session&)> onConnect;
  std::function<void(Session&)> onDisconnect;
  // Tab completion of a command line for clients that edit lines on the server's side;
  // none: Tab completes nothing.
  std::function<text::Completion(Session&, std::u16string_view beforeCursor)> complete;
  // Sessions idle at their prompt for longer are closed; none by default.
  IdleLimit idle;
};

// How the last command line ended, for one-shot commands' exit status.
enum class CommandResult : std::uint8_t {
  kDone,    // the command did its work (or there was none)
  kFailed,  // it could not: not found, refused, failed, unknown command
  kDenied,  // "Permission denied."
};

// The shell of one client connection (Telnet or SSH): greeting, prompt, one command line per
// cycle, dispatch by the first word. Each connection has its own state; nothing here is
// shared with other connections except the read-only configuration.
class Session : public ConnectionHandler {
 public:
  static constexpr std::u16string_view kInitialPrompt = u"IP-Symcon";

  Session(Client& client, std::shared_ptr<const SessionConfig> config);

  // Greeting and state reset; runs the connect hook.
  void TelnetConnect();
  // One cycle: prompt, one line, one command.
  void TelnetExecute();
  // Runs the disconnect hook.
  void TelnetDisconnect();

  void OnConnect() override { TelnetConnect(); }
  void OnExecute() override { TelnetExecute(); }
  void OnDisconnect() override { TelnetDisconnect(); }

  // Without greeting, prompt or login dialogue: admits the client the transport has
  // authenticated and runs the connect hook. False when the client is not let in.
  bool OpenForCommands();
  // Runs the command lines of `list` (see shell::SplitCommandList) one after the other,
  // stopping after the first that does not end kDone or that ends the session; gives how
  // that one ended. A failure raised by a command is passed on.
  CommandResult RunCommandList(const std::vector<std::u16string>& lines);

  // The client's I/O, for the commands.
  Client& client() { return client_; }
  void Write(std::u16string_view text) { client_.Write(text); }
  void WriteLn(std::u16string_view text = {}) { client_.WriteLn(text); }
  void WriteFormated(std::u16string_view line) { client_.WriteFormated(line); }
  void WriteFormated(const std::vector<std::u16string>& lines) { client_.WriteFormated(lines); }
  std::u16string InputLn() { return client_.InputLn(); }
  void delay(std::int32_t msec) { client_.delay(msec); }
  // Whether the user interrupted the running command; see Client::Interrupted.
  bool Interrupted() const { return client_.Interrupted(); }
  // The console width the running command lays its output out for.
  std::int32_t ConsoleChars() const { return client_.ConsoleChars(); }
  // See Client::IsTerminal and Client::ConsoleRows.
  bool IsTerminal() const { return client_.IsTerminal(); }
  std::int32_t ConsoleRows() const { return client_.ConsoleRows(); }

  // Writes a command's message that it could not do its work ("Object not found: 7"), if
  // any, and marks the command as failed. In a one-shot command list the message goes to
  // the client's error output.
  void Fail(std::u16string_view message = {});
  // How the last command line ended.
  CommandResult lastResult() const { return lastResult_; }
  // Whether the session runs a one-shot command list (OpenForCommands) for a script rather
  // than a shell a person types into: commands then leave out what only a person watching
  // needs (progress lines, pauses).
  bool oneShot() const { return oneShot_; }

  // The command words this session's user may run, upper case, each once, sorted (for Tab
  // completion).
  std::vector<std::u16string> CommandWords() const;

  // The client's address and port as text.
  const std::string& peer() const { return client_.peer(); }
  // What carries the session ("telnet", "ssh").
  std::string_view transport() const { return client_.transport(); }
  // The user the transport has authenticated; empty when the shell asks for a login.
  const std::string& authenticatedUser() const { return client_.authenticatedUser(); }

  // The prompt text as shown, before colouring (prefix by user level, name, ">").
  std::u16string PromptText() const;

  // Shell state of this connection.
  std::uint8_t userlevel = 1;    // 1 = guest; selects the prompt's prefix
  bool startup = true;           // until the first command line has been read
  std::uint16_t currentDir = 0;  // object ID of the current category; 0 is the root
  std::u16string prompt{kInitialPrompt};
  // The user logged in (as the users file names it); empty for the guest of a shell
  // without login.
  std::string user;
  // What a command that changes the home reports for the audit trail; empty means "done".
  std::string commandOutcome;

 private:
  void dispatch(const std::u16string& commandline, const std::u16string& command);
  void run(const Command& row, const std::u16string& commandline);
  void reset(bool beforeFirstLine);
  void closeOnRequest();
  void closeIdle();
  void failWith(std::u16string_view message, CommandResult result);
  void offerCompletion();

  Client& client_;
  CommandResult lastResult_ = CommandResult::kDone;
  bool oneShot_ = false;
  std::shared_ptr<const SessionConfig> config_;
};

// A factory for Listener::setHandlerFactory that gives every client a Session.
HandlerFactory MakeSessionFactory(std::shared_ptr<const SessionConfig> config);

// The version text of the running program as the greeting shows it ("2.0.7"); empty when
// the executable carries no version.
const std::u16string& ProgramVersionText();

}  // namespace velmar::telnet
