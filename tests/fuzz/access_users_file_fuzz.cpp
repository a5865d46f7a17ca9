// The users file reader on arbitrary text: it never crashes or hangs, and every line is
// either a user or the error that names it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "access/users_file.h"
#include "core/error.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool skipped(std::string_view line) {
  const std::size_t start = line.find_first_not_of(" \t\r");
  return start == std::string_view::npos || line[start] == '#';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t entries = 0;
  std::size_t lines = 0;
  for (std::size_t start = 0; start < text.size(); ++lines) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (!skipped(text.substr(start, end - start))) ++entries;
    start = end + 1;
  }
  try {
    const velmar::access::Users users = velmar::access::ParseUsers(text, "fuzz");
    check(users.size() == entries);
    for (const auto& user : users) {
      check(velmar::access::IsValidUserName(user.name));
      check(velmar::access::IsValidLevel(user.level));
      check(velmar::access::FindUser(users, user.name) == &user);
    }
  } catch (const velmar::Error& e) {
    // "fuzz:<line>: ...", naming a line that holds a user entry; the lines before it read.
    const std::string message = e.what();
    check(message.rfind("fuzz:", 0) == 0);
    const std::size_t line = std::strtoul(message.c_str() + 5, nullptr, 10);
    check(line >= 1 && line <= lines);
    std::size_t start = 0;
    for (std::size_t i = 1; i < line; ++i) start = text.find('\n', start) + 1;
    const std::size_t end = text.find('\n', start);
    check(!skipped(text.substr(start, end == std::string_view::npos ? end : end - start)));
    velmar::access::ParseUsers(text.substr(0, start), "fuzz");
  }
  return 0;
}
