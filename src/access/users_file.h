// The users file: who may log in to the Telnet shell, at which level, with which password.
//
//   # comment
//   NAME:LEVEL:HASH
//
// One user a line; blank lines and lines starting with "#" (after blanks) are skipped. NAME
// is 1 to 64 printable ASCII characters without ":" or blanks; LEVEL is 1, 5 or 10; HASH is
// an Argon2id string as libsodium's crypto_pwhash_str makes it ("$argon2id$...").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::access {

// The user levels and what they stand for.
inline constexpr std::uint8_t kLevelGuest = 1;     // looks around: help, ls, cd, show, find, ...
inline constexpr std::uint8_t kLevelOperator = 5;  // also changes the home: set, run, ping
inline constexpr std::uint8_t kLevelAdmin = 10;    // also sees who is connected: who

inline constexpr std::size_t kMaxNameLength = 64;

struct User {
  std::string name;  // as written in the file
  std::uint8_t level = kLevelGuest;
  std::string hash;
};

using Users = std::vector<User>;

// Whether `name` may stand in the users file (and be given to velmar-passwd).
bool IsValidUserName(std::string_view name);
// Whether `level` is one of 1, 5 and 10.
bool IsValidLevel(int level);

// Parses the text of a users file. A bad line raises velmar::Error with
// "<file>:<line>: <what is wrong>"; `file` only names the file in that message.
Users ParseUsers(std::string_view text, const std::string& file);

// Reads and parses the users file at `path`. Refuses (velmar::Error naming the file) a file
// that cannot be read, is not a regular file, is larger than 1 MiB, or that someone other than
// root or the service's user may have written (see WhyUntrusted); a file that others may read
// is loaded, with a warning added to `warnings`.
Users LoadUsersFile(const std::string& path, std::vector<std::string>* warnings = nullptr);

// The line of `user` as the file holds it, without a line end.
std::string FormatUserLine(const User& user);

// The user named `name` (exact, case-sensitive), or null.
const User* FindUser(const Users& users, std::string_view name);

}  // namespace velmar::access
