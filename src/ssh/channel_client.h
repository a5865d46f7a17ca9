#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "ssh/channel_input.h"
#include "ssh/server.h"
#include "telnet/client.h"

namespace velmar::ssh {

// The shell's client over an SSH session channel. With a pty the server echoes and edits the
// line (ChannelInput, LineEditor: history, Tab completion); without one, lines are read as
// over Telnet. For a one-shot command (`commandOutput`) the output carries no colour
// sequences, so that scripts get plain text.
//
// The width is the pty's, following every window-change, kept within the bounds a Telnet
// client's window is kept in; without a pty it is the configured width.
class ChannelClient final : public telnet::Client {
 public:
  ChannelClient(Channel& channel, bool commandOutput);
  ~ChannelClient() override;
  ChannelClient(const ChannelClient&) = delete;
  ChannelClient& operator=(const ChannelClient&) = delete;

  void WriteBytes(std::string_view bytes) override;
  // For a one-shot command: to the command's stderr, without colour sequences, lines ended
  // by LF.
  void WriteErrorBytes(std::string_view bytes) override;
  // Reads behind the prompt just written (the text after the last line end written). Ctrl+D
  // on an empty line reads as "exit". Any bytes the client sends count as input for the idle
  // limit.
  using telnet::Client::ReadLine;
  telnet::InputLine ReadLine(std::chrono::milliseconds idleLimit) override;
  std::size_t InputSecretLn(char16_t* out, std::size_t capacity) override;
  // The transport has authenticated the user already; the shell never hides input.
  void SetClientEcho(bool) override {}
  void delay(std::int32_t msec) override;
  bool Interrupted() const override { return input_.interrupted() || ending_.load(); }
  std::int32_t ConsoleChars() const override;
  // A shell with a pty; never a one-shot command.
  bool IsTerminal() const override { return channel_.pty() && !commandOutput_; }
  std::int32_t ConsoleRows() const override { return channel_.pty() ? channel_.height() : 0; }
  void Disconnect() override;
  // The session's thread sees it within one read slice.
  void EndSession() override { ending_ = true; }
  bool Connected() const override { return !closed_.load() && !ending_.load(); }
  const std::string& peer() const override { return channel_.address(); }
  std::string_view transport() const override { return "ssh"; }
  const std::string& authenticatedUser() const override { return channel_.user(); }
  void SetCompleter(Completer completer) override;

 private:
  [[noreturn]] void failClosed();
  // Reads what the client sends within `timeout` into the input; false once no more input
  // will come (the client has ended its input, or gone: then closed_ is set too).
  bool receive(std::chrono::milliseconds timeout);
  void show(const std::string& screen);

  Channel& channel_;
  const bool commandOutput_;
  ChannelInput input_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> ending_{false};
  bool inputEnded_ = false;
  std::uint64_t bytesReceived_ = 0;
  // What was written after the last line end: the prompt a line is read behind.
  std::string row_;
};

// Removes the colour sequences the shell writes (ESC "[" digits and ";" up to "m"); the text
// the server sends never holds an ESC (it is made inert before it is shown).
std::string WithoutColours(std::string_view bytes);

}  // namespace velmar::ssh
