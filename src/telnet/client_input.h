#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/line_input.h"
#include "telnet/telnet_protocol.h"
#include "telnet/utf8_stream.h"

namespace velmar::telnet {

// One read of the client as the shell sees it.
struct InputLine {
  enum class Status : std::uint8_t {
    kLine,         // a command line
    kTooLong,      // a line that went over kMaxLineLength; it must not be executed
    kInterrupted,  // the client interrupted the line being typed (Ctrl+C)
    kIdle,         // no input came within the idle limit the read was given
  };
  Status status = Status::kLine;
  std::u16string text;  // the line; for kTooLong what was kept of it
};

// The client's input side of a Telnet connection, without the socket: bytes go through the
// Telnet protocol, the UTF-8 decoder and the line assembler, and come out as whole lines in
// the order they were typed.
//
// While a command runs, input that arrives is still read (so that an interrupt is seen):
// lines completed meanwhile wait for their turn, and an interrupt stops the command instead
// of being queued (interrupted() reports it until the next line is taken).
class ClientInput {
 public:
  // Queued lines beyond which the connection stops reading while a command runs, so that a
  // client typing ahead without end cannot make the queue grow without bound.
  static constexpr std::size_t kMaxQueuedLines = 16;

  // Parses received bytes; appends the protocol's answers to `answers`.
  void feed(std::string_view bytes, std::string& answers);

  // The next line or interrupt typed, if one is complete. Taking a line starts its
  // command: interrupts that arrive from then on stop that command.
  std::optional<InputLine> next();
  // The command of the last line taken has finished; input waits for the next read.
  void commandDone() { commandRunning_ = false; }

  // Whether an interrupt arrived while the current command ran.
  bool interrupted() const { return interrupted_; }
  // Whether more input may be read during a command.
  bool acceptsMore() const { return queue_.size() < kMaxQueuedLines; }

  // The client's window width (see TelnetProtocol::windowWidth).
  std::int32_t windowWidth() const { return protocol_.windowWidth(); }
  std::int32_t windowHeight() const { return protocol_.windowHeight(); }
  const TelnetProtocol& protocol() const { return protocol_; }
  // Offers (true) or withdraws (false) the server's echo; see TelnetProtocol::offerEcho.
  void offerEcho(bool on, std::string& answers) { protocol_.offerEcho(on, answers); }
  const LineAssembler& assembler() const { return assembler_; }
  std::size_t queued() const { return queue_.size(); }

 private:
  void character(char16_t c);
  void dropLine();

  TelnetProtocol protocol_;
  Utf8StreamDecoder decoder_;
  LineAssembler assembler_;
  std::deque<InputLine> queue_;
  std::vector<ProtocolEvent> events_;
  std::u16string decoded_;
  bool commandRunning_ = false;
  bool interrupted_ = false;
};

}  // namespace velmar::telnet
