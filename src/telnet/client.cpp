#include "telnet/client.h"

#include <string.h>

#include <algorithm>

#include "text/console_layout.h"
#include "text/encoding.h"

namespace velmar::telnet {

void Client::Write(std::u16string_view text) {
  if (text.empty()) return;
  WriteBytes(text::Utf16ToUtf8(text));
}

void Client::WriteLn(std::u16string_view text) {
  std::string bytes = text::Utf16ToUtf8(text);
  bytes += "\r\n";
  WriteBytes(bytes);
}

void Client::WriteErrorLn(std::u16string_view text) {
  std::string bytes = text::Utf16ToUtf8(text);
  bytes += "\r\n";
  WriteErrorBytes(bytes);
}

void Client::WriteFormated(std::u16string_view line) {
  WriteBytes(text::WriteFormatedBytes(line, ConsoleChars()));
}

void Client::WriteFormated(const std::vector<std::u16string>& lines) {
  // Line by line, so that each line is cut at the width current when it is written.
  for (const auto& line : lines) WriteFormated(line);
}

std::u16string Client::InputLn() {
  for (;;) {
    InputLine line = ReadLine();
    if (line.status != InputLine::Status::kInterrupted) return std::move(line.text);
  }
}

const std::string& Client::authenticatedUser() const {
  static const std::string none;
  return none;
}

void Client::SetCompleter(Completer) {}

std::string WriteStalledReason(std::chrono::milliseconds limit) {
  const auto count = limit.count();
  std::string span =
      count % 1000 == 0 ? std::to_string(count / 1000) + " second" : std::to_string(count) + " ms";
  if (count != 1000 && count % 1000 == 0) span += 's';
  return "the client read nothing for " + span;
}

std::size_t Client::TakeSecret(InputLine& line, char16_t* out, std::size_t capacity) {
  std::size_t length = 0;
  if (line.status != InputLine::Status::kInterrupted) {
    length = std::min(capacity, line.text.size());
    std::copy_n(line.text.data(), length, out);
  }
  explicit_bzero(line.text.data(), line.text.capacity() * sizeof(char16_t));
  return length;
}

}  // namespace velmar::telnet
