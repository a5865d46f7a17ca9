#include "access/audit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/error.h"
#include "platform/logger.h"

namespace velmar::access {
namespace {

std::FILE* openAppend(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "a");
  if (file == nullptr) ::close(fd);
  return file;
}

std::string timeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  return text;
}

}  // namespace

AuditTrail::AuditTrail() : sink_([](const std::string& line) { platform::LogLine(line); }) {}

AuditTrail::~AuditTrail() {
  if (file_ != nullptr) std::fclose(file_);
}

void AuditTrail::setSink(Sink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

void AuditTrail::setFile(const std::string& path) {
  std::FILE* file = nullptr;
  if (!path.empty()) {
    file = openAppend(path);
    if (file == nullptr) {
      throw Error("Cannot open the audit log " + path + ": " + std::strerror(errno));
    }
  }
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  path_ = path;
}

std::string AuditTrail::Reopen() {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return {};
  std::FILE* file = openAppend(path_);
  if (file == nullptr) {
    return "cannot reopen the audit log " + path_ + ": " + std::strerror(errno) +
           "; still writing to the file opened before";
  }
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  return {};
}

void AuditTrail::Log(std::string_view text) {
  const std::string line = std::string(platform::kLogPrefix) + "audit: " + std::string(text);
  std::lock_guard lock(mutex_);
  if (sink_) sink_(line);
  if (file_ != nullptr) {
    std::fprintf(file_, "%s %.*s\n", timeStamp().c_str(), static_cast<int>(text.size()),
                 text.data());
    std::fflush(file_);
  }
}

std::string QuotePrintable(std::string_view text, std::size_t limit, char quote) {
  std::string out(1, quote);
  std::size_t count = 0;
  for (const char c : text) {
    if (count++ == limit) {
      out += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (c == quote || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out + quote;
}

std::string AuditQuote(std::string_view text, std::size_t limit) {
  return QuotePrintable(text, limit, '"');
}

}  // namespace velmar::access
