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
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == u'"') quoted = !quoted;
    if (list[i] == u';' && !quoted) {
      AddTrimmed(parts, list.substr(start, i - start));
      start = i + 1;
    }
  }
  AddTrimmed(parts, list.substr(start));
  return parts;
}

}  // namespace velmar::telnet
