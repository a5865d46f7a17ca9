#include "ssh/keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/error.h"

namespace velmar::ssh {

namespace {

// An OpenSSH private key is a few hundred bytes; anything far larger is not one.
constexpr off_t kMaxKeyFileSize = 64 * 1024;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw Error(what + " " + path + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
}

// Makes every missing folder above `path` with mode 0700.
void makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      fail("Cannot create the folder", folder);
    }
  }
}

// The mode bits as chmod takes them ("0644").
std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A private key that other users may read is no longer private; one they may change is no
// longer ours. Like OpenSSH, refuse it rather than serve with it.
void requirePrivate(const struct stat& info, const std::string& path) {
  if ((info.st_mode & 077) == 0) return;
  throw Error("The SSH host key " + path + " is open to other users (mode " + octal(info.st_mode) +
              "); make it private with: chmod 600 " + path);
}

Key readPrivateKey(int fd, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) fail("Cannot read the SSH host key", path);
  if (!S_ISREG(info.st_mode)) {
    errno = 0;
    fail("The SSH host key is not a regular file:", path);
  }
  requirePrivate(info, path);
  if (info.st_size > kMaxKeyFileSize) {
    errno = 0;
    fail("The SSH host key file is too large to be a key:", path);
  }
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t count = ::read(fd, text.data() + got, text.size() - got);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  text.resize(got);
  ssh_key key = nullptr;
  errno = 0;
  const int status = ssh_pki_import_privkey_base64(text.c_str(), nullptr, nullptr, nullptr, &key);
  explicit_bzero(text.data(), text.size());
  if (status != SSH_OK) fail("Cannot read the SSH host key", path);
  return Key(key);
}

// Writes the key to `path`.new, made afresh (never through a link or over a file someone put
// there: that file could be anywhere and would receive the private key), and renames it into
// place, so that a crash never leaves half a key.
void writePrivateKey(const ssh_key key, const std::string& path) {
  char* text = nullptr;
  if (ssh_pki_export_privkey_base64(key, nullptr, nullptr, nullptr, &text) != SSH_OK) {
    throw Error("Cannot encode the new SSH host key");
  }
  const std::string contents(text);
  explicit_bzero(text, contents.size());
  ssh_string_free_char(text);
  makeParents(path);
  const std::string temporary = path + ".new";
  errno = 0;
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    throw Error("Cannot make the SSH host key " + path + ": " + temporary +
                " is in the way (left from an earlier start, or put there by someone else); "
                "remove it and start again");
  }
  if (fd < 0) fail("Cannot write the SSH host key", temporary);
  const bool written =
      ::fchmod(fd, 0600) == 0 &&
      ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()) &&
      ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    fail("Cannot write the SSH host key", path);
  }
}

}  // namespace

std::string DefaultHostKeyPath() {
  constexpr char kFile[] = "ssh_host_ed25519_key";
  // systemd's StateDirectory= (the packaged service: /var/lib/velmar); the first of a list.
  const char* service = std::getenv("STATE_DIRECTORY");
  if (service != nullptr && service[0] == '/') {
    const std::string first(service, std::strcspn(service, ":"));
    return first + "/" + kFile;
  }
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base;
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr && home[0] == '/' ? home : ".") + "/.local/state";
  }
  return base + "/velmar/" + kFile;
}

Key LoadOrCreateHostKey(const std::string& path) {
  errno = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    return readPrivateKey(fd, path);
  }
  if (errno != ENOENT) fail("Cannot read the SSH host key", path);
  ssh_key key = nullptr;
  if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) {
    throw Error("Cannot generate an SSH host key");
  }
  Key owned(key);
  writePrivateKey(key, path);
  return owned;
}

std::string Fingerprint(const ssh_key key) {
  unsigned char* hash = nullptr;
  std::size_t length = 0;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK) {
    return {};
  }
  char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
  ssh_clean_pubkey_hash(&hash);
  std::string fingerprint = text != nullptr ? text : "";
  ssh_string_free_char(text);
  return fingerprint;
}

bool IsAuthorizedKey(const std::string& directory, const std::string& user, const ssh_key key) {
  if (user.empty() || user == "." || user == ".." || user.find('/') != std::string::npos ||
      user.find('\0') != std::string::npos || directory.empty()) {
    return false;
  }
  std::ifstream file(directory + "/" + user);
  std::string line;
  while (std::getline(file, line)) {
    // "type base64 [comment]". A line with options in front ("from=...", "restrict") names
    // limits this server cannot keep, so it authorises nothing.
    std::istringstream words(line);
    std::string typeName;
    std::string data;
    if (!(words >> typeName >> data) || typeName[0] == '#') continue;
    const ssh_keytypes_e type = ssh_key_type_from_name(typeName.c_str());
    if (type == SSH_KEYTYPE_UNKNOWN) continue;
    ssh_key candidate = nullptr;
    if (ssh_pki_import_pubkey_base64(data.c_str(), type, &candidate) != SSH_OK) continue;
    const bool same = ssh_key_cmp(candidate, key, SSH_KEY_CMP_PUBLIC) == 0;
    ssh_key_free(candidate);
    if (same) return true;
  }
  return false;
}

}  // namespace velmar::ssh
