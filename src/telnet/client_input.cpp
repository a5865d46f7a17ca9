#include "telnet/client_input.h"

namespace velmar::telnet {

void ClientInput::feed(std::string_view bytes, std::string& answers) {
  events_.clear();
  protocol_.feed(bytes, events_, answers);
  for (const ProtocolEvent& event : events_) {
    switch (event.kind) {
      case ProtocolEvent::Kind::kData:
        decoded_.clear();
        decoder_.feed(event.byte, decoded_);
        for (const char16_t c : decoded_) character(c);
        break;
      case ProtocolEvent::Kind::kInterrupt:
        dropLine();
        if (commandRunning_) {
          interrupted_ = true;
        } else {
          queue_.push_back({InputLine::Status::kInterrupted, {}});
        }
        break;
      case ProtocolEvent::Kind::kEraseChar:
        assembler_.eraseChar();
        break;
      case ProtocolEvent::Kind::kEraseLine:
        dropLine();
        break;
      case ProtocolEvent::Kind::kAbortOutput:
        // Output is written straight to the socket as it is made; nothing waits here that
        // could be dropped.
        break;
    }
  }
}

void ClientInput::dropLine() {
  // The bytes of a character not yet complete belong to the line too.
  decoded_.clear();
  decoder_.flush(decoded_);
  assembler_.eraseLine();
}

void ClientInput::character(char16_t c) {
  if (!assembler_.put(c)) return;
  const bool tooLong = assembler_.tooLong();
  queue_.push_back(
      {tooLong ? InputLine::Status::kTooLong : InputLine::Status::kLine, assembler_.take()});
}

std::optional<InputLine> ClientInput::next() {
  if (queue_.empty()) return std::nullopt;
  InputLine line = std::move(queue_.front());
  queue_.pop_front();
  commandRunning_ = true;
  interrupted_ = false;
  return line;
}

}  // namespace velmar::telnet
