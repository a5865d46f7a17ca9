#pragma once

#include <libssh/libssh.h>

#include <memory>
#include <string>

namespace velmar::ssh {

struct KeyFree {
  void operator()(ssh_key key) const { ssh_key_free(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<ssh_key>, KeyFree>;

// Where the host key lives unless --ssh-host-key names a file, as ssh_host_ed25519_key: in
// $STATE_DIRECTORY (set by systemd for the packaged service: /var/lib/velmar), else in
// $XDG_STATE_HOME/velmar/, else in ~/.local/state/velmar/.
std::string DefaultHostKeyPath();

// The host key from `path` (OpenSSH private key format). When the file does not exist, a new
// Ed25519 key is generated and written there with mode 0600 (missing folders are made with
// mode 0700): first to `path`.new, which must not exist (a link there is never followed),
// then renamed into place. Raises velmar::Error when the file cannot be read, parsed or
// written, or when group or others may read or write it (the message names the chmod).
Key LoadOrCreateHostKey(const std::string& path);

// "SHA256:" and the unpadded Base64 of the SHA-256 of the public key, as ssh-keygen -l shows.
std::string Fingerprint(const ssh_key key);

// Whether `key` is one of the keys in the file `directory`/`user` (OpenSSH authorized_keys
// format: "type base64 comment" a line, "#" comments). A line with options in front of the
// key, a user name that is not a plain file name, or a missing file authorises nothing.
bool IsAuthorizedKey(const std::string& directory, const std::string& user, const ssh_key key);

}  // namespace velmar::ssh
