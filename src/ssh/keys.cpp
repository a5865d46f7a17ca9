#include "ssh/keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/error.h"

namespace velmar::ssh {

namespace {

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

void writePrivateKey(const ssh_key key, const std::string& path) {
  char* text = nullptr;
  if (ssh_pki_export_privkey_base64(key, nullptr, nullptr, nullptr, &text) != SSH_OK) {
    throw Error("Cannot encode the new SSH host key");
  }
  const std::string contents(text);
  ssh_string_free_char(text);
  makeParents(path);
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    ssh_key key = nullptr;
    errno = 0;
    if (ssh_pki_import_privkey_file(path.c_str(), nullptr, nullptr, nullptr, &key) != SSH_OK) {
      fail("Cannot read the SSH host key", path);
    }
    return Key(key);
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
