#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "telnet/client_input.h"
#include "text/completion.h"

namespace velmar::telnet {

// What the shell needs of the client it serves, whatever carries it: text out, lines in, the
// width to lay output out for, and the user's interrupt. A Telnet connection (Connection) and
// an SSH channel (ssh::ChannelClient) implement it, so that every command, text and rule of
// the shell exists once.
//
// A client is used by its session's thread only, except Disconnect() and EndSession(), which
// any thread may call to end it (switch-off, the login time limit, a removed user).
class Client {
 public:
  // Gets the text before the cursor; gives the word to replace and its candidates.
  using Completer = std::function<text::Completion(std::u16string_view beforeCursor)>;

  virtual ~Client() = default;

  // Sends UTF-8 bytes as they are. Raises velmar::Error when the client is gone.
  virtual void WriteBytes(std::string_view bytes) = 0;

  // Sends UTF-8 bytes to the client's error output where it has one of its own (the stderr of
  // an SSH command); elsewhere the same as WriteBytes.
  virtual void WriteErrorBytes(std::string_view bytes) { WriteBytes(bytes); }

  // Sends `text` as UTF-8 with nothing added; an empty text sends nothing.
  void Write(std::u16string_view text);
  // Sends `text` and CR LF in one write.
  void WriteLn(std::u16string_view text = {});
  // Sends `text` and CR LF to the error output in one write.
  void WriteErrorLn(std::u16string_view text);
  // Sends one output line laid out for the console: lead word dropped, cut to ConsoleChars(),
  // line ends as CR LF, followed by CR LF.
  void WriteFormated(std::u16string_view line);
  // The same for every line of `lines`, in order, each cut at the width of its moment.
  void WriteFormated(const std::vector<std::u16string>& lines);

  // Reads the next line, too-long line or interrupt the client typed; blocks until there is
  // one. Ends the previous command: interrupts seen from here on belong to the command of the
  // line returned. Raises velmar::Error when the client goes first. With an idle limit above
  // zero, gives kIdle once no input at all has come for that long.
  virtual InputLine ReadLine(std::chrono::milliseconds idleLimit) = 0;
  InputLine ReadLine() { return ReadLine(std::chrono::milliseconds::zero()); }
  // Reads the next command line, skipping interrupts; a too-long line comes back cut.
  std::u16string InputLn();
  // Reads one line that holds a secret (a password) into `out`, at most `capacity` code
  // units (more are dropped), and returns its length; an interrupt gives an empty line.
  // The copies the input side made of it are wiped; the caller wipes `out`.
  virtual std::size_t InputSecretLn(char16_t* out, std::size_t capacity) = 0;
  // Asks the client to stop (false) or resume (true) showing what is typed.
  virtual void SetClientEcho(bool on) = 0;

  // Waits `msec` milliseconds, or less when the client goes or interrupts the running
  // command; input typed meanwhile is kept. Zero and negative values return at once.
  virtual void delay(std::int32_t msec) = 0;
  // Whether the user interrupted the running command (Ctrl+C).
  virtual bool Interrupted() const = 0;
  // The console width for the running command.
  virtual std::int32_t ConsoleChars() const = 0;
  // Whether the client is a terminal a person looks at that follows cursor movement and
  // reports its size (an SSH session with a pty; a Telnet client that reported its window
  // size), rather than a plain stream of lines (nc, scripts, one-shot commands).
  virtual bool IsTerminal() const { return false; }
  // The terminal's height in rows as last reported; 0 when unknown.
  virtual std::int32_t ConsoleRows() const { return 0; }

  // Ends the client's connection without a farewell; any thread may call it.
  virtual void Disconnect() = 0;
  // Ends the session but not yet the connection; any thread may call it. The running command
  // is interrupted, no further line is read (a read raises velmar::Error) and Connected()
  // turns false, while the session's own thread may still write its last words before the
  // connection is closed.
  virtual void EndSession() = 0;
  // False once the client's connection has ended, or its session.
  virtual bool Connected() const = 0;
  // Whether the client has gone as far as the transport can tell: its connection has ended,
  // or (Telnet) it has closed its side of it, which a Telnet client does when it leaves. A
  // command that may write nothing for a long time (watch) ends on it; an SSH client that
  // only ends its input (ssh -n) is still there.
  virtual bool HungUp() const { return !Connected(); }

  // The client's address and port as text, for messages and the audit trail.
  virtual const std::string& peer() const = 0;
  // What carries the session, for the audit trail: "telnet" or "ssh".
  virtual std::string_view transport() const = 0;
  // The user whom the transport has authenticated already (SSH); empty when the shell asks
  // for a login itself.
  virtual const std::string& authenticatedUser() const;
  // Offers Tab completion of command lines, where the client edits lines on the server's
  // side; the default ignores it.
  virtual void SetCompleter(Completer completer);

  // Why the server ended the connection (the client read nothing for too long, the session
  // was idle), for the audit trail; empty when the client or the shell ended it. Set and read
  // on the session's thread.
  const std::string& closeReason() const { return closeReason_; }
  void setCloseReason(std::string reason) { closeReason_ = std::move(reason); }

 protected:
  // For InputSecretLn: copies what `line` holds (nothing for an interrupt) into `out`, at most
  // `capacity` code units, wipes the line, and gives the length copied.
  static std::size_t TakeSecret(InputLine& line, char16_t* out, std::size_t capacity);

 private:
  std::string closeReason_;
};

// How long a write to a client may make no progress (the client reads nothing) before the
// connection is ended; a client that never reads would hold its seat for ever.
inline constexpr std::chrono::milliseconds kDefaultWriteLimit{60000};

// The close reason for a write limit of `limit` that ran out: "the client read nothing for
// 60 seconds".
std::string WriteStalledReason(std::chrono::milliseconds limit);

}  // namespace velmar::telnet
