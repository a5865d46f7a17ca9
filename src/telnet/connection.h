#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "telnet/client_input.h"

namespace velmar::telnet {

// One accepted Telnet connection and its I/O: everything a session writes or reads goes
// through here. The wire speaks UTF-8 in both directions. Reads and writes block; a failed
// or closed connection raises velmar::Error. Input passes through the Telnet protocol layer
// (ClientInput); output is sent as it is made, so a client that never negotiates receives
// exactly the text written and never an IAC byte.
//
// Disconnect() may be called from any thread: it shuts the socket down, so that a read or
// write blocked on it fails at once, and wakes a delay() in progress. The descriptor itself
// is closed only when the object is destroyed, after its thread is done with it.
class Connection {
 public:
  // Takes ownership of the connected socket `fd`.
  explicit Connection(int fd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends `text` as UTF-8 with nothing added; an empty text sends nothing.
  void Write(std::u16string_view text);
  // Sends `text` and CR LF in one write.
  void WriteLn(std::u16string_view text = {});
  // Sends one output line laid out for the console: lead word dropped, cut to ConsoleChars(),
  // line ends as CR LF, followed by CR LF.
  void WriteFormated(std::u16string_view line);
  // The same for every line of `lines`, in order.
  void WriteFormated(const std::vector<std::u16string>& lines);
  // Sends bytes as they are.
  void WriteBytes(std::string_view bytes);

  // Reads the next line, too-long line or interrupt the client typed (see ClientInput);
  // blocks until there is one. Ends the previous command: interrupts seen from here on
  // belong to the command of the line returned. Raises velmar::Error when the connection
  // closes first.
  InputLine ReadLine();
  // Reads the next command line, skipping interrupts; a too-long line comes back cut.
  std::u16string InputLn();

  // Reads one line that holds a secret (a password) into `out`, at most `capacity` code
  // units (more are dropped), and returns its length; an interrupt gives an empty line. The
  // line goes through the same protocol layer as every other line; the copies the input
  // side made of it are wiped, and the caller wipes `out`. Raises velmar::Error like InputLn.
  std::size_t InputSecretLn(char16_t* out, std::size_t capacity);

  // Whether the client has sent any Telnet command so far: only such a client is sent
  // Telnet commands in return.
  bool PeerSpeaksTelnet() const { return input_.protocol().negotiating(); }
  // Asks a Telnet-speaking client to stop (false) or resume (true) its local echo: the
  // server offers to echo (IAC WILL ECHO) and withdraws the offer (IAC WONT ECHO), so that
  // a typed password does not show. A raw client is sent nothing.
  void SetClientEcho(bool on);

  // Waits `msec` milliseconds, or less when the connection is closed meanwhile (also by
  // the listener's switch-off) or the client interrupts the running command. Meanwhile the
  // client's input is read, so that an interrupt is noticed; lines typed ahead are kept.
  // Zero and negative values return at once.
  void delay(std::int32_t msec);

  // Whether the client interrupted the running command (Ctrl+C); a command that works in
  // steps checks it after each delay() and stops.
  bool Interrupted() const { return input_.interrupted(); }

  // The console width for the running command: the client's window width when it has
  // reported one (taken when the command's line was read), else the configured width.
  std::int32_t ConsoleChars() const;

  // Closes the connection without a farewell; see above.
  void Disconnect();
  // False once the connection was closed by either side or failed.
  bool Connected() const { return !closed_.load(); }

  // The peer's address as text, for messages.
  const std::string& peer() const { return peer_; }

 private:
  [[noreturn]] void failClosed(const char* what);
  // Reads what the socket holds (waiting for it when `wait`) into the input; false at the
  // end of input.
  bool receive(bool wait);

  platform::UniqueFd fd_;
  std::string peer_;
  std::atomic<bool> closed_{false};
  std::mutex mutex_;  // guards the wake-up of delay()
  std::condition_variable wake_;

  // Input side, used by the connection's own thread only.
  std::string buffer_;
  std::string answers_;
  ClientInput input_;
  bool inputEnded_ = false;
  std::string endReason_ = "the client ended the connection";
  std::int32_t commandWidth_ = 0;  // the client's window width when the line was read
};

}  // namespace velmar::telnet
