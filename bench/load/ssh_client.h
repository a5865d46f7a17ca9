// One interactive SSH session on libssh's client API, as a user's client opens it: login by key
// or password, a pseudo-terminal, a shell, and the text up to its first prompt. Blocking; every
// wait is bounded.
#pragma once

#include <libssh/libssh.h>

#include <string>

namespace velmar::load {

// An Ed25519 (or any OpenSSH) private key without passphrase, read once for many logins.
class SshKey {
 public:
  explicit SshKey(const std::string& path);
  ~SshKey();
  SshKey(const SshKey&) = delete;
  SshKey& operator=(const SshKey&) = delete;
  ssh_key get() const { return key_; }

 private:
  ssh_key key_ = nullptr;
};

class SshClient {
 public:
  SshClient() = default;
  ~SshClient() { close(); }
  SshClient(const SshClient&) = delete;
  SshClient& operator=(const SshClient&) = delete;

  // Connects to 127.0.0.1:port, logs in as `user` with `key` (or with `password` when `key` is
  // null), asks for an 80x24 pty and a shell and reads until the shell's prompt. False with
  // the reason in `error`.
  bool open(int port, const std::string& user, ssh_key key, const std::string& password,
            std::string& error);

  // Types `line` and Return, and reads until the next prompt (the echo included).
  bool command(const std::string& line, std::string& reply);

  // The greeting up to the first prompt.
  const std::string& greeting() const { return greeting_; }

  void close();

 private:
  // Appends channel bytes to `text` until it ends with a prompt; false on a closed channel or
  // after 30 seconds.
  bool readUntilPrompt(std::string& text);

  ssh_session session_ = nullptr;
  ssh_channel channel_ = nullptr;
  std::string greeting_;
};

}  // namespace velmar::load
