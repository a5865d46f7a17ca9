#include "shell/object_argument.h"

#include <cstddef>

#include "core/error.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {

namespace {

struct NumberForm {
  bool negative = false;
  int base = 10;
  std::size_t digitsStart = 0;
};

int DigitValue(char16_t c, int base) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (base == 16 && c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (base == 16 && c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Sign and base prefix of `text`, when what follows them is one or more digits of that base.
std::optional<NumberForm> ParseForm(std::u16string_view text) {
  NumberForm form;
  std::size_t pos = 0;
  if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
    form.negative = text[pos] == u'-';
    ++pos;
  }
  std::u16string_view rest = text.substr(pos);
  if (!rest.empty() && (rest[0] == u'$' || rest[0] == u'x' || rest[0] == u'X')) {
    form.base = 16;
    pos += 1;
  } else if (rest.size() >= 2 && rest[0] == u'0' && (rest[1] == u'x' || rest[1] == u'X')) {
    form.base = 16;
    pos += 2;
  }
  if (pos == text.size()) return std::nullopt;
  for (std::size_t i = pos; i < text.size(); ++i) {
    if (DigitValue(text[i], form.base) < 0) return std::nullopt;
  }
  form.digitsStart = pos;
  return form;
}

}  // namespace

bool IsWholeNumber(std::u16string_view text) {
  return ParseForm(text).has_value();
}

std::optional<std::int32_t> ReadWholeNumber(std::u16string_view text) {
  auto form = ParseForm(text);
  if (!form) return std::nullopt;
  constexpr std::int64_t kLimit = 2147483648LL;  // magnitude of the most negative value
  std::int64_t magnitude = 0;
  for (std::size_t i = form->digitsStart; i < text.size(); ++i) {
    magnitude = magnitude * form->base + DigitValue(text[i], form->base);
    if (magnitude > kLimit) break;
  }
  if (magnitude > kLimit || (!form->negative && magnitude == kLimit)) {
    throw Error("'" + text::Utf16ToUtf8(text) + "' is not a valid integer value");
  }
  return static_cast<std::int32_t>(form->negative ? -magnitude : magnitude);
}

std::u16string TextAfterArgument(std::u16string_view command) {
  const std::size_t space = command.find(u' ');
  if (space == std::u16string_view::npos) return {};
  std::size_t pos = space + 1;
  std::size_t end = command.size();
  while (pos < end && command[pos] <= u' ') ++pos;
  while (end > pos && command[end - 1] <= u' ') --end;
  if (pos == end) return {};
  std::size_t after;
  if (command[pos] == u'"') {
    const std::size_t close = command.find(u'"', pos + 1);
    if (close == std::u16string_view::npos || close >= end) return {};
    after = close + 1;
  } else {
    after = command.find(u' ', pos);
    if (after == std::u16string_view::npos || after >= end) return {};
  }
  return std::u16string(command.substr(after));
}

std::optional<std::int32_t> ResolveObjectArgument(std::u16string_view argument,
                                                  std::int32_t currentDir,
                                                  const NameLookup& lookup) {
  if (auto id = ReadWholeNumber(argument)) return id;
  try {
    return lookup(argument, currentDir);
  } catch (const Error&) {
    return std::nullopt;
  }
}

std::optional<std::vector<ArgumentWord>> ArgumentWords(std::u16string_view commandline) {
  std::vector<ArgumentWord> words;
  std::size_t pos = commandline.find(u' ');
  while (pos != std::u16string_view::npos && pos < commandline.size()) {
    while (pos < commandline.size() && commandline[pos] <= u' ') ++pos;
    if (pos == commandline.size()) break;
    if (commandline[pos] == u'"') {
      const std::size_t close = commandline.find(u'"', pos + 1);
      if (close == std::u16string_view::npos) return std::nullopt;
      words.push_back({text::Trim(commandline.substr(pos + 1, close - pos - 1)), true});
      pos = close + 1;
      continue;
    }
    std::size_t end = pos;
    while (end < commandline.size() && commandline[end] > u' ') ++end;
    words.push_back({std::u16string(commandline.substr(pos, end - pos)), false});
    pos = end;
  }
  return words;
}

}  // namespace velmar::shell
