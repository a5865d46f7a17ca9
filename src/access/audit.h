// The audit trail: one line for each connection opened and closed, each login, each refusal
// and each change to the home. Every line goes to stderr as "velmar: audit: ..." and, when a
// file is set, is appended to that file as well.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace velmar::access {

class AuditTrail {
 public:
  // Where the stderr copy goes; tests put a collector in place.
  using Sink = std::function<void(const std::string& line)>;

  AuditTrail();
  ~AuditTrail();
  AuditTrail(const AuditTrail&) = delete;
  AuditTrail& operator=(const AuditTrail&) = delete;

  void setSink(Sink sink);

  // Appends to `path` from now on (created with mode 0600 if missing); an empty path stops
  // the file copy. Raises velmar::Error when the file cannot be opened; the previous file
  // stays in use then.
  void setFile(const std::string& path);
  // Opens the file again by its name (after logrotate moved it away). On failure the old
  // file stays in use and the message is returned; empty on success.
  std::string Reopen();

  // Writes one line: `text` with a time stamp in the file.
  void Log(std::string_view text);

 private:
  std::mutex mutex_;
  Sink sink_;
  std::string path_;
  std::FILE* file_ = nullptr;
};

// `text` as one inert audit field in double quotes: control characters, quotes, backslashes
// and bytes that are not ASCII are written as escapes, and it is cut after `limit`
// characters (marked with "...").
std::string AuditQuote(std::string_view text, std::size_t limit = 256);
// The same rule with another quote character, for messages that name a field.
std::string QuotePrintable(std::string_view text, std::size_t limit, char quote);

}  // namespace velmar::access
