#include "access/file_trust.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

namespace velmar::access {
namespace {

std::string userName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(4096);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return std::string(found->pw_name) + " (" + std::to_string(uid) + ")";
  }
  return std::to_string(uid);
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  return cwd ? std::string(cwd.get()) + "/" + path : path;
}

// The folders above `path`, nearest first, up to "/".
std::vector<std::string> foldersAbove(const std::string& path) {
  std::vector<std::string> folders;
  std::string rest = path;
  for (;;) {
    const std::size_t slash = rest.find_last_of('/');
    if (slash == std::string::npos) break;
    rest.resize(slash);
    folders.push_back(rest.empty() ? "/" : rest);
    if (rest.empty()) break;
  }
  return folders;
}

// Why one of the folders above `path` lets others replace what it holds; empty when none does.
std::string whyFolderUntrusted(const std::string& path) {
  for (const std::string& folder : foldersAbove(path)) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) continue;  // the open itself has found its way
    if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0) {
      return "others may write the folder " + folder +
             ", so they could put another users file in place (chmod o-w " + folder + ")";
    }
  }
  return {};
}

}  // namespace

std::string WhyUntrusted(int fd, const std::string& path, uid_t owner) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot tell who may write the users file";
  if ((info.st_mode & S_IWOTH) != 0) {
    return "others may write the users file (chmod o-w " + path + ")";
  }
  if ((info.st_mode & S_IWGRP) != 0) {
    return "its group may write the users file (chmod g-w " + path + ")";
  }
  if (info.st_uid != 0 && info.st_uid != owner) {
    return "the users file belongs to user " + userName(info.st_uid) +
           ", who is neither root nor the user velmar runs as (chown root " + path + ")";
  }
  const std::string given = absolute(path);
  std::string why = whyFolderUntrusted(given);
  if (!why.empty()) return why;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(given.c_str(), nullptr), &std::free);
  if (!real) return "cannot tell where the users file lies";
  return real.get() == given ? std::string() : whyFolderUntrusted(real.get());
}

}  // namespace velmar::access
