#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "telnet/client.h"
#include "telnet/client_input.h"

namespace velmar::telnet {

// One accepted Telnet connection and its I/O: everything a session writes or reads goes
// through here. The wire speaks UTF-8 in both directions. Reads and writes block; a failed
// or closed connection raises velmar::Error. Input passes through the Telnet protocol layer
// (ClientInput); output is sent as it is made, so a client that never negotiates receives
// exactly the text written and never an IAC byte, except the request to stop its echo
// while a password is typed (SetClientEcho).
//
// Disconnect() and EndSession() may be called from any thread: they shut the socket down
// (EndSession its input only), so that a read blocked on it fails at once, and wake a
// delay() in progress. The descriptor itself
// is closed only when the object is destroyed, after its thread is done with it.
class Connection final : public Client {
 public:
  // Takes ownership of the connected socket `fd`. A write that makes no progress for
  // `writeLimit` (the client reads nothing) ends the connection.
  explicit Connection(int fd, std::chrono::milliseconds writeLimit = kDefaultWriteLimit);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Client
  void WriteBytes(std::string_view bytes) override;
  // Input goes through the protocol layer (see ClientInput). Any bytes the client sends count
  // as input for the idle limit.
  using Client::ReadLine;
  InputLine ReadLine(std::chrono::milliseconds idleLimit) override;
  // The secret line goes through the same protocol layer as every other line.
  std::size_t InputSecretLn(char16_t* out, std::size_t capacity) override;
  // Asks the client to stop (false) or resume (true) its local echo: the server offers to
  // echo (IAC WILL ECHO) and withdraws the offer (IAC WONT ECHO), so that a typed password
  // does not show. Sent to every client, whether it has negotiated or not: clients such as
  // inetutils and busybox telnet negotiate only when the server does.
  void SetClientEcho(bool on) override;
  // Meanwhile the client's input is read, so that an interrupt is noticed; lines typed ahead
  // are kept. Also cut short by the listener's switch-off.
  void delay(std::int32_t msec) override;
  bool Interrupted() const override { return input_.interrupted() || ending_.load(); }
  // The client's window width when it has reported one (taken when the command's line was
  // read), else the configured width.
  std::int32_t ConsoleChars() const override;
  // A client that reported its window size (NAWS) is a terminal.
  bool IsTerminal() const override { return input_.windowWidth() > 0; }
  std::int32_t ConsoleRows() const override { return input_.windowHeight(); }
  void Disconnect() override;
  // Shuts the socket's input down, which ends a read in progress; output still goes out.
  void EndSession() override;
  bool Connected() const override { return !closed_.load() && !ending_.load(); }
  bool HungUp() const override { return closed_.load() || ending_.load() || inputEnded_; }
  const std::string& peer() const override { return peer_; }
  std::string_view transport() const override { return "telnet"; }

  // Whether the client has sent any Telnet command so far.
  bool PeerSpeaksTelnet() const { return input_.protocol().negotiating(); }

 private:
  [[noreturn]] void failClosed(const char* what);
  [[noreturn]] static void failEnded();
  // Reads what the socket holds (waiting for it when `wait`) into the input; false at the
  // end of input.
  bool receive(bool wait);
  // Waits until the socket is ready for `events` (POLLIN: input, POLLOUT: room for output) or
  // `deadline` passes (false).
  bool awaitReady(short events, std::chrono::steady_clock::time_point deadline) const;

  platform::UniqueFd fd_;
  std::string peer_;
  const std::chrono::milliseconds writeLimit_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> ending_{false};
  std::mutex mutex_;  // guards the wake-up of delay()
  std::condition_variable wake_;

  // Input side, used by the connection's own thread only.
  std::string buffer_;
  std::string answers_;
  ClientInput input_;
  bool inputEnded_ = false;
  std::string endReason_ = "the client ended the connection";
  std::int32_t commandWidth_ = 0;  // the client's window width when the line was read
  std::uint64_t bytesReceived_ = 0;
};

}  // namespace velmar::telnet
