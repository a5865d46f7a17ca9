#include "telnet/command_list.h"

namespace velmar::telnet {

namespace {

void AddTrimmed(std::vector<std::u16string>& parts, std::u16string_view part) {
  const std::size_t first = part.find_first_not_of(u" \t\r\n");
  if (first == std::u16string_view::npos) return;
  const std::size_t last = part.find_last_not_of(u" \t\r\n");
  parts.emplace_back(part.substr(first, last - first + 1));
}

}  // namespace

std::vector<std::u16string> SplitCommandList(std::u16string_view list) {
  std::vector<std::u16string> parts;
  std::u16string part;
  bool quoted = false;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char16_t c = list[i];
    if (c == u'\\' && i + 1 < list.size() && list[i + 1] == u';') {
      part += u';';
      ++i;
      continue;
    }
    if (c == u'"') quoted = !quoted;
    if (c == u';' && !quoted) {
      AddTrimmed(parts, part);
      part.clear();
      continue;
    }
    part += c;
  }
  AddTrimmed(parts, part);
  return parts;
}

}  // namespace velmar::telnet
