#include "platform/logger.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace velmar::platform {
namespace {

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void LogLine(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole += '\n';
  std::string_view rest = whole;
  // One write takes the line whole unless stderr is full; the lock keeps the other threads'
  // lines out of the rest.
  std::lock_guard lock(logMutex());
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nowhere left to report it
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

void Log(std::string_view message) {
  std::string line(kLogPrefix);
  line += message;
  LogLine(line);
}

void LogWarning(std::string_view message) {
  std::string line(kLogPrefix);
  line += "warning: ";
  line += message;
  LogLine(line);
}

}  // namespace velmar::platform
