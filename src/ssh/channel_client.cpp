#include "ssh/channel_client.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "core/error.h"
#include "telnet/telnet_protocol.h"
#include "text/console_layout.h"
#include "text/encoding.h"

namespace velmar::ssh {

namespace {

// The longest prompt kept for the line editor; a longer row is not a prompt.
constexpr std::size_t kMaxPromptBytes = 1024;
// How long one wait for client bytes lasts before the state is looked at again.
constexpr std::chrono::milliseconds kReadSlice{200};

int boundedWidth(int width) {
  return std::clamp(width, telnet::TelnetProtocol::kMinWidth, telnet::TelnetProtocol::kMaxWidth);
}

}  // namespace

std::string WithoutColours(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      std::size_t end = i + 2;
      while (end < bytes.size() && ((bytes[end] >= '0' && bytes[end] <= '9') || bytes[end] == ';'))
        ++end;
      if (end < bytes.size() && bytes[end] == 'm') {
        i = end;
        continue;
      }
    }
    out += bytes[i];
  }
  return out;
}

ChannelClient::ChannelClient(Channel& channel, bool commandOutput)
    : channel_(channel),
      commandOutput_(commandOutput),
      input_(channel.pty(), channel.width() > 0 ? boundedWidth(channel.width()) : 80) {
  channel_.onResize = [this](int width) {
    std::string screen;
    input_.resize(boundedWidth(width), screen);
    show(screen);
  };
}

ChannelClient::~ChannelClient() {
  channel_.onResize = nullptr;
}

void ChannelClient::failClosed() {
  closed_ = true;
  if (channel_.stalled()) {
    setCloseReason(telnet::WriteStalledReason(channel_.writeLimit()));
    throw Error("Connection closed: " + closeReason());
  }
  throw Error("Connection closed: the client ended the connection");
}

void ChannelClient::show(const std::string& screen) {
  // Also called from inside libssh (a window change), where nothing may be thrown: the next
  // read or write reports the end.
  if (!screen.empty() && !channel_.write(screen)) closed_ = true;
}

void ChannelClient::WriteBytes(std::string_view bytes) {
  if (closed_.load()) failClosed();
  const std::string plain = commandOutput_ ? WithoutColours(bytes) : std::string();
  const std::string_view out = commandOutput_ ? std::string_view(plain) : bytes;
  if (!channel_.write(out)) failClosed();
  const std::size_t lineEnd = out.rfind('\n');
  if (lineEnd != std::string_view::npos) {
    row_.assign(out.substr(lineEnd + 1));
  } else {
    row_.append(out);
  }
  if (row_.size() > kMaxPromptBytes) row_.clear();
}

void ChannelClient::WriteErrorBytes(std::string_view bytes) {
  if (!commandOutput_) {
    WriteBytes(bytes);
    return;
  }
  if (closed_.load()) failClosed();
  // Messages on the error output end their lines as the failure that ends a command list
  // does (ssh/shell_channel.cpp): with LF alone.
  std::string message = WithoutColours(bytes);
  for (std::size_t at = message.find("\r\n"); at != std::string::npos;
       at = message.find("\r\n", at))
    message.erase(at, 1);
  if (!channel_.writeError(message)) failClosed();
}

bool ChannelClient::receive(std::chrono::milliseconds timeout) {
  if (inputEnded_) return false;
  std::string bytes;
  if (!channel_.read(bytes, timeout)) {
    closed_ = true;
    inputEnded_ = true;
    return false;
  }
  bytesReceived_ += bytes.size();
  std::string screen;
  input_.feed(bytes, screen);
  show(screen);
  if (bytes.empty() && channel_.inputEnded()) inputEnded_ = true;
  return !inputEnded_;
}

telnet::InputLine ChannelClient::ReadLine(std::chrono::milliseconds idleLimit) {
  if (closed_.load()) failClosed();
  if (ending_.load()) throw Error("Connection closed: the session was ended");
  std::string screen;
  input_.begin(text::Utf8ToUtf16(row_), screen);
  show(screen);
  auto idleUntil = std::chrono::steady_clock::now() + idleLimit;
  for (;;) {
    if (auto line = input_.next()) {
      row_.clear();
      switch (line->status) {
        case ChannelLine::Status::kLine:
          return {telnet::InputLine::Status::kLine, std::move(line->text)};
        case ChannelLine::Status::kInterrupted:
          return {telnet::InputLine::Status::kInterrupted, {}};
        case ChannelLine::Status::kEnd:
          return {telnet::InputLine::Status::kLine, u"exit"};
      }
    }
    if (ending_.load()) throw Error("Connection closed: the session was ended");
    if (idleLimit.count() > 0 && std::chrono::steady_clock::now() >= idleUntil) {
      row_.clear();
      return {telnet::InputLine::Status::kIdle, {}};
    }
    const std::uint64_t before = bytesReceived_;
    if (closed_.load() || !receive(kReadSlice)) failClosed();
    if (bytesReceived_ != before) idleUntil = std::chrono::steady_clock::now() + idleLimit;
  }
}

std::size_t ChannelClient::InputSecretLn(char16_t* out, std::size_t capacity) {
  telnet::InputLine line = ReadLine();
  return TakeSecret(line, out, capacity);
}

void ChannelClient::delay(std::int32_t msec) {
  if (msec <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msec);
  for (;;) {
    if (closed_.load() || ending_.load() || input_.interrupted()) return;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const auto slice = std::min(left, kReadSlice);
    if (input_.acceptsMore() && !inputEnded_) {
      receive(slice);
      continue;
    }
    // Enough waits already, or no more input will come: a plain wait that ends early only
    // when the socket is shut down.
    pollfd hangup{channel_.fd(), 0, 0};
    if (::poll(&hangup, 1, static_cast<int>(slice.count())) > 0) closed_ = true;
  }
}

std::int32_t ChannelClient::ConsoleChars() const {
  const int width = channel_.pty() ? channel_.width() : 0;
  return width > 0 ? boundedWidth(width) : text::gConsoleChars.load();
}

void ChannelClient::Disconnect() {
  // The session's thread sees the flag within one read slice and returns; the channel is then
  // closed in order, with its exit status. (Switch-off shuts the socket down itself.)
  closed_ = true;
}

void ChannelClient::SetCompleter(Completer completer) {
  input_.editor().setCompleter(std::move(completer));
}

}  // namespace velmar::ssh
