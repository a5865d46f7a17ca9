#include "ssh/channel_input.h"

namespace velmar::ssh {

ChannelInput::ChannelInput(bool pty, int width) : pty_(pty), editor_(width) {}

void ChannelInput::begin(std::u16string_view prompt, std::string& screen) {
  reading_ = true;
  interrupted_ = false;
  ready_.reset();
  if (!pty_) return;
  editor_.begin(prompt);
  std::string waiting;
  waiting.swap(typeAhead_);
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    key(static_cast<unsigned char>(waiting[i]), screen);
    if (ready_) {
      // What comes after the line waits for the next one.
      typeAhead_.assign(waiting, i + 1);
      return;
    }
  }
}

void ChannelInput::feed(std::string_view bytes, std::string& screen) {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (!pty_) {
      // Lines are queued as over Telnet; the queue is what waits for the next read.
      decoded_.clear();
      decoder_.feed(byte, decoded_);
      for (const char16_t unit : decoded_) {
        if (assembler_.put(unit)) lines_.push_back(assembler_.take());
      }
      continue;
    }
    if (reading_ && !ready_ && typeAhead_.empty()) {
      key(byte, screen);
    } else if (byte == 0x03) {
      // Typed after a line: it interrupts that line's command.
      interrupted_ = true;
      typeAhead_.clear();
    } else if (typeAhead_.size() < kMaxTypeAhead) {
      typeAhead_.push_back(c);
    }
  }
}

void ChannelInput::key(unsigned char byte, std::string& screen) {
  switch (editor_.feed(byte, screen)) {
    case LineEditor::Event::None:
      break;
    case LineEditor::Event::Line:
      ready_ = ChannelLine{ChannelLine::Status::kLine, editor_.take()};
      break;
    case LineEditor::Event::Interrupt:
      ready_ = ChannelLine{ChannelLine::Status::kInterrupted, {}};
      break;
    case LineEditor::Event::EndOfInput:
      ready_ = ChannelLine{ChannelLine::Status::kEnd, {}};
      break;
  }
}

std::optional<ChannelLine> ChannelInput::next() {
  if (!reading_) return std::nullopt;
  if (!pty_) {
    if (lines_.empty()) return std::nullopt;
    ready_ = ChannelLine{ChannelLine::Status::kLine, std::move(lines_.front())};
    lines_.pop_front();
  }
  if (!ready_) return std::nullopt;
  reading_ = false;
  std::optional<ChannelLine> line;
  line.swap(ready_);
  return line;
}

void ChannelInput::resize(int width, std::string& screen) {
  if (!pty_ || !reading_) {
    std::string ignored;
    editor_.resize(width, ignored);
    return;
  }
  editor_.resize(width, screen);
}

}  // namespace velmar::ssh
