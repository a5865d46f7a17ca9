// velmar-passwd: keeps the users file of the Telnet shell, in the manner of htpasswd.
//
//   velmar-passwd [-c] FILE NAME [--level N] [--stdin]   add a user or set a password
//   velmar-passwd -D FILE NAME                           delete a user
//   velmar-passwd --list FILE                            print names and levels
//
// The file is never written in place: the new text goes to a temporary file beside it, with
// mode 0600, which then replaces the old one.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "access/password.h"
#include "access/users_file.h"
#include "core/error.h"

namespace velmar::access {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64;
constexpr std::size_t kMaxPassword = 1024;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The name of the user a line holds, or empty for a blank or comment line.
std::string nameOfLine(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos || line[start] == '#') return {};
  return line.substr(start, line.find(':', start) - start);
}

// Writes `text` to a temporary file beside `path` (mode 0600) and puts it in place.
void replaceFile(const std::string& path, const std::string& text) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0)
    throw Error("cannot create a temporary file beside " + path + ": " + std::strerror(errno));
  auto fail = [&](const char* what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    throw Error(std::string("cannot ") + what + " " + temp + ": " + std::strerror(error));
  };
  if (::fchmod(fd, 0600) != 0) fail("set the mode of");
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      fail("write");
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::fsync(fd) != 0) fail("write");
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    throw Error("cannot write " + temp + ": " + std::strerror(errno));
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw Error("cannot replace " + path + ": " + std::strerror(error));
  }
}

// Reads one line into `out` (without its line end); false at end of input.
bool readLine(std::FILE* in, Secret& out) {
  out.wipe();
  auto& s = out.str();
  s.reserve(kMaxPassword + 1);
  int c = 0;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (s.size() <= kMaxPassword) s += static_cast<char>(c);
  }
  if (!s.empty() && s.back() == '\r') s.pop_back();
  if (s.size() > kMaxPassword) throw Error("the password is longer than 1024 bytes");
  return any;
}

// Asks for the password twice on the terminal with echo off.
void askTwice(Secret& password) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) throw Error("no terminal to ask for the password (use --stdin)");
  struct Restore {
    std::FILE* tty;
    termios saved{};
    bool changed = false;
    ~Restore() {
      if (changed) ::tcsetattr(::fileno(tty), TCSAFLUSH, &saved);
      std::fclose(tty);
    }
  } restore{tty};
  if (::tcgetattr(::fileno(tty), &restore.saved) == 0) {
    termios quiet = restore.saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    restore.changed = ::tcsetattr(::fileno(tty), TCSAFLUSH, &quiet) == 0;
  }
  Secret again;
  std::fputs("Password: ", tty);
  std::fflush(tty);
  if (!readLine(tty, password)) throw Error("no password given");
  std::fputs("Retype password: ", tty);
  std::fflush(tty);
  if (!readLine(tty, again)) throw Error("no password given");
  if (password.view() != again.view()) throw Error("the passwords do not match");
}

int listUsers(const std::string& file) {
  for (const User& user : ParseUsers(readFile(file), file)) {
    std::cout << user.name << " " << static_cast<int>(user.level) << "\n";
  }
  return 0;
}

int deleteUser(const std::string& file, const std::string& name) {
  const std::string text = readFile(file);
  ParseUsers(text, file);  // a malformed file is not rewritten
  std::string out;
  bool found = false;
  for (const std::string& line : splitLines(text)) {
    if (nameOfLine(line) == name) {
      found = true;
      continue;
    }
    out += line + "\n";
  }
  if (!found) throw Error("no user " + name + " in " + file);
  replaceFile(file, out);
  std::cerr << "Deleted user " << name << std::endl;
  return 0;
}

int setUser(const std::string& file, const std::string& name, bool create, std::optional<int> level,
            bool fromStdin) {
  if (!IsValidUserName(name)) {
    throw Error(
        "the user name may hold 1 to 64 printable ASCII characters other than ':' and "
        "blanks, and must not start with '#'");
  }
  std::string text;
  Users users;
  if (!create) {
    text = readFile(file);
    users = ParseUsers(text, file);  // a malformed file is not rewritten
  }
  const User* existing = FindUser(users, name);

  Secret password;
  if (fromStdin) {
    if (!readLine(stdin, password)) throw Error("no password on stdin");
  } else {
    askTwice(password);
  }
  if (password.str().empty()) throw Error("the password is empty");

  User user;
  user.name = name;
  user.level = static_cast<std::uint8_t>(level.value_or(existing ? existing->level : kLevelGuest));
  user.hash = HashPassword(password.view());
  password.wipe();

  std::string out;
  bool replaced = false;
  for (const std::string& line : splitLines(text)) {
    if (!replaced && nameOfLine(line) == name) {
      out += FormatUserLine(user) + "\n";
      replaced = true;
    } else {
      out += line + "\n";
    }
  }
  if (!replaced) out += FormatUserLine(user) + "\n";
  replaceFile(file, out);
  std::cerr << (replaced ? "Updated user " : "Added user ") << name << " (level "
            << static_cast<int>(user.level) << ")" << std::endl;
  return 0;
}

int Main(int argc, char** argv) {
  CLI::App app(
      "Keeps the users file of velmar's Telnet shell: one NAME:LEVEL:HASH line per user, the "
      "hash an Argon2id string. Level 1 may look around, level 5 also set, run and ping, level "
      "10 also who.",
      "velmar-passwd");
  app.get_formatter()->column_width(24);
  std::string file, name;
  bool create = false, remove = false, list = false, fromStdin = false;
  int level = 0;
  app.add_flag("-c", create, "create FILE anew (replacing one that exists)");
  app.add_flag("-D", remove, "delete the user NAME");
  app.add_flag("--list", list, "print the names and levels of FILE");
  auto* levelOption =
      app.add_option("--level", level, "the user's level: 1, 5 or 10 (new users: 1)")
          ->type_name("N")
          ->check(CLI::IsMember({1, 5, 10}));
  app.add_flag("--stdin", fromStdin, "read the password from one line of stdin");
  app.add_option("FILE", file, "the users file")->required();
  app.add_option("NAME", name, "the user name");
  app.footer(
      "\nExamples:\n"
      "  velmar-passwd -c /etc/velmar/users admin --level 10\n"
      "  echo \"$PASSWORD\" | velmar-passwd --stdin /etc/velmar/users kitchen --level 5\n"
      "  velmar-passwd -D /etc/velmar/users kitchen\n"
      "  velmar-passwd --list /etc/velmar/users\n"
      "\nA running velmar reads the file again on SIGHUP (systemctl reload velmar).\n"
      "Exit status: 0 done, 1 failed, 64 bad usage.\n");
  try {
    app.parse(argc, argv);
    const int modes = (list ? 1 : 0) + (remove ? 1 : 0) + (create ? 1 : 0);
    if (modes > 1) throw CLI::ValidationError("-c, -D and --list", "choose one of them");
    if (list && !name.empty()) throw CLI::ValidationError("--list", "takes no NAME");
    if (!list && name.empty()) throw CLI::ValidationError("NAME", "is required");
    if ((list || remove) && (levelOption->count() > 0 || fromStdin)) {
      throw CLI::ValidationError("--level and --stdin", "apply only when a password is set");
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "velmar-passwd: " << e.what() << "\n"
              << "Usage: velmar-passwd [-c] FILE NAME [--level N] [--stdin] | -D FILE NAME | "
                 "--list FILE\n";
    return kExitUsage;
  }
  try {
    InitializeSodium();
    if (list) return listUsers(file);
    if (remove) return deleteUser(file, name);
    return setUser(file, name, create,
                   levelOption->count() > 0 ? std::optional<int>(level) : std::nullopt, fromStdin);
  } catch (const std::exception& e) {
    std::cerr << "velmar-passwd: " << e.what() << std::endl;
    return kExitFailure;
  }
}

}  // namespace
}  // namespace velmar::access

int main(int argc, char** argv) {
  return velmar::access::Main(argc, argv);
}
