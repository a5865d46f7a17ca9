#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "ssh/line_editor.h"
#include "telnet/line_input.h"
#include "telnet/utf8_stream.h"

namespace velmar::ssh {

// One read of an SSH client as the shell sees it.
struct ChannelLine {
  enum class Status : std::uint8_t {
    kLine,         // a command line
    kInterrupted,  // Ctrl+C dropped the line being typed
    kEnd,          // Ctrl+D on an empty line: the client is done
  };
  Status status = Status::kLine;
  std::u16string text;
};

// The input side of an SSH session channel, without the channel. With a pty the server
// does the echo and the editing (LineEditor); without one, lines are read as over Telnet
// (LineAssembler: no echo, LF ends a line).
//
// Keys typed while a command runs wait for the next line (with a pty they are edited then,
// behind its prompt), except Ctrl+C, which interrupts the command: interrupted() reports it
// until the next line begins. See acceptsMore() for how much waits.
class ChannelInput {
 public:
  static constexpr std::size_t kMaxTypeAhead = 4096;
  static constexpr std::size_t kMaxQueuedLines = 16;

  ChannelInput(bool pty, int width);

  // Starts reading a line behind `prompt` (already written); appends the echo of keys
  // typed ahead to `screen`.
  void begin(std::u16string_view prompt, std::string& screen);
  // Takes client bytes; appends what the screen needs to `screen`.
  void feed(std::string_view bytes, std::string& screen);
  // The line (or interrupt, or end) read since begin(), once there is one. Taking it starts
  // its command.
  std::optional<ChannelLine> next();

  // Whether the reader may take more bytes from the channel: false while lines or keys typed
  // ahead wait in numbers, so that a client sending without end is held back by the
  // channel's flow control rather than by memory.
  bool acceptsMore() const {
    return lines_.size() < kMaxQueuedLines && typeAhead_.size() < kMaxTypeAhead;
  }

  // Whether Ctrl+C came while the current command ran.
  bool interrupted() const { return interrupted_; }
  // The window is now `width` columns wide; a line being edited is redrawn.
  void resize(int width, std::string& screen);
  int width() const { return editor_.width(); }

  LineEditor& editor() { return editor_; }

 private:
  void key(unsigned char byte, std::string& screen);

  bool pty_;
  bool reading_ = false;
  bool interrupted_ = false;
  LineEditor editor_;
  std::string typeAhead_;
  std::optional<ChannelLine> ready_;
  // Without a pty.
  telnet::Utf8StreamDecoder decoder_;
  telnet::LineAssembler assembler_;
  std::deque<std::u16string> lines_;
  std::u16string decoded_;
};

}  // namespace velmar::ssh
