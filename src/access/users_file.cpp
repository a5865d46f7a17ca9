#include "access/users_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "access/audit.h"
#include "access/file_trust.h"
#include "access/password.h"
#include "core/error.h"

namespace velmar::access {
namespace {

constexpr off_t kMaxFileSize = 1 << 20;

std::string_view trimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// A short, printable rendering of a field for a message, cut after 64 characters.
std::string quoted(std::string_view field) {
  return QuotePrintable(field, kMaxNameLength, '\'');
}

[[noreturn]] void failLine(const std::string& file, std::size_t line, const std::string& what) {
  throw Error(file + ":" + std::to_string(line) + ": " + what);
}

User parseLine(std::string_view line, const std::string& file, std::size_t number) {
  const std::size_t first = line.find(':');
  const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
  if (second == std::string_view::npos || line.find(':', second + 1) != std::string_view::npos) {
    failLine(file, number, "expected NAME:LEVEL:HASH, got " + quoted(line));
  }
  const std::string_view name = line.substr(0, first);
  const std::string_view level = line.substr(first + 1, second - first - 1);
  const std::string_view hash = line.substr(second + 1);

  if (name.empty()) failLine(file, number, "the user name is empty");
  if (name.size() > kMaxNameLength) {
    failLine(file, number,
             "the user name " + quoted(name) + " is longer than " + std::to_string(kMaxNameLength) +
                 " characters");
  }
  if (!IsValidUserName(name)) {
    failLine(file, number,
             "the user name " + quoted(name) +
                 " may hold only printable ASCII characters other than ':' and blanks");
  }
  User user;
  user.name = std::string(name);
  if (level == "1" || level == "5" || level == "10") {
    user.level = static_cast<std::uint8_t>(level == "10" ? 10 : level[0] - '0');
  } else {
    failLine(file, number,
             "the level of " + quoted(name) + " must be 1, 5 or 10, not " + quoted(level));
  }
  if (!IsArgon2idHash(hash)) {
    failLine(file, number,
             "the password hash of " + quoted(name) +
                 " is not an Argon2id hash (make one with velmar-passwd)");
  }
  user.hash = std::string(hash);
  return user;
}

}  // namespace

bool IsValidUserName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name.front() == '#') return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f || c == ':') return false;
  }
  return true;
}

bool IsValidLevel(int level) {
  return level == 1 || level == 5 || level == 10;
}

Users ParseUsers(std::string_view text, const std::string& file) {
  Users users;
  std::map<std::string, std::size_t, std::less<>> seen;  // name -> line
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = trimBlanks(line);
    if (line.empty() || line.front() == '#') continue;
    User user = parseLine(line, file, number);
    const auto [it, added] = seen.emplace(user.name, number);
    if (!added) {
      failLine(file, number,
               "the user " + quoted(user.name) + " is listed twice (first on line " +
                   std::to_string(it->second) + ")");
    }
    users.push_back(std::move(user));
  }
  return users;
}

Users LoadUsersFile(const std::string& path, std::vector<std::string>* warnings) {
  auto fail = [&](const std::string& what) -> Users { throw Error(path + ": " + what); };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fail(std::string("cannot open the users file: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(std::string("cannot read: ") + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return fail("the users file is not a regular file");
  const std::string untrusted = WhyUntrusted(fd, path, ::geteuid());
  if (!untrusted.empty()) return fail("refused: " + untrusted);
  if (info.st_size > kMaxFileSize) return fail("the users file is larger than 1 MiB");
  if ((info.st_mode & S_IROTH) != 0 && warnings != nullptr) {
    warnings->push_back(path +
                        ": others may read the users file and its password hashes "
                        "(chmod o-r " +
                        path + ")");
  }

  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(std::string("cannot read: ") + std::strerror(errno));
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > static_cast<std::size_t>(kMaxFileSize)) {
      return fail("the users file is larger than 1 MiB");
    }
  }
  Users users = ParseUsers(text, path);
  sodium_memzero(text.data(), text.size());
  return users;
}

std::string FormatUserLine(const User& user) {
  return user.name + ":" + std::to_string(user.level) + ":" + user.hash;
}

const User* FindUser(const Users& users, std::string_view name) {
  for (const User& user : users) {
    if (user.name == name) return &user;
  }
  return nullptr;
}

}  // namespace velmar::access
