#pragma once

#include <libssh/libssh.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmar::ssh {

class Channel;

// How a login attempt (a password, or a key offered or signed) ended.
enum class LoginCheck {
  kAccepted,
  kRejected,
  kShutOut,  // rejected, and no further attempt is taken on this connection
  kBusy,     // not checked: too many logins at once; no further attempt is taken either
};

// A public key a client offers, or signs with to log in.
struct KeyOffer {
  std::string fingerprint;  // "SHA256:..."
  bool authorized = false;  // in the user's file of the authorized keys folder
  bool proven = false;      // signed (and the signature verified): the login itself
};

// What every SSH connection of a server shares; read-only once serving.
struct ServerConfig {
  // Private host key in OpenSSH format (see LoadOrCreateHostKey).
  std::string hostKeyPath;
  // Called first with the client's address: false closes the connection at once. None: all
  // are admitted.
  std::function<bool(const std::string& address)> admit;
  // Checks a user's password (left in libssh's buffer, never copied); gets the client's
  // address too, and a function that tells whether the connection is still open (a check may
  // have to wait its turn). Empty: no password logins.
  std::function<LoginCheck(const std::string& user, std::string_view password,
                           const std::string& address, const std::function<bool()>& connected)>
      checkPassword;
  // Decides on every key a client offers or signs with, authorized or not: an offer that
  // is accepted lets the client sign with the key, a signed key that is accepted logs the
  // user in. None: the authorized keys are accepted and the others rejected.
  std::function<LoginCheck(const std::string& user, const KeyOffer& key,
                           const std::string& address)>
      checkKey;
  // Called last: the connection has ended; `user` is empty when nobody logged in.
  std::function<void(const std::string& address, const std::string& user)> closed;
  // Folder of authorized_keys files, one per user name. Empty: no key logins.
  std::string authorizedKeysDir;
  // Failed passwords and refused keys allowed per connection before it is closed.
  int maxAttempts = 3;
  // Time from the connection to a started shell or command; then the connection is closed.
  std::chrono::milliseconds loginTime{60000};
  // A write to the client that makes no progress for this long (the client reads nothing)
  // ends the connection.
  std::chrono::milliseconds writeLimit{60000};
  // Runs the shell or command of a channel, on the connection's thread. The channel is
  // closed when it returns.
  std::function<void(Channel&)> onSession;
};

// The session channel of one SSH connection once its shell or command has started.
class Channel {
 public:
  Channel(ssh_session session, ssh_channel channel, std::string user, std::string address,
          std::chrono::milliseconds writeLimit);
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  const std::string& user() const { return user_; }
  const std::string& address() const { return address_; }
  // The command of an exec request; nothing for a shell.
  const std::optional<std::string>& command() const { return command_; }
  // Whether the client asked for a pseudo-terminal (it leaves echo and editing to us).
  bool pty() const { return pty_; }
  // The terminal's width in columns (pty and window-change requests); 0 when unknown.
  int width() const { return width_.load(); }
  // The terminal's height in rows; 0 when unknown.
  int height() const { return height_.load(); }

  // Called on the connection's thread, inside read(), when the window changes.
  std::function<void(int width)> onResize;

  // Waits up to `timeout` for client bytes and appends them to `out`. False once the
  // client has closed the channel or the connection is gone. After the end of the client's
  // input (inputEnded()) it returns at once, with nothing.
  bool read(std::string& out, std::chrono::milliseconds timeout);
  // The client has sent the end of its input (EOF; `ssh host cmd </dev/null` does at once);
  // the channel stays open for output.
  bool inputEnded() const;
  // Sends bytes to the client; false when the connection is gone, or when the client has
  // taken nothing for the write limit: then stalled() is true and the connection is shut
  // down, so that nothing else waits for that client any more.
  bool write(std::string_view bytes);
  bool stalled() const { return stalled_; }
  std::chrono::milliseconds writeLimit() const { return writeLimit_; }
  // Sends bytes to the client's error output; false when the connection is gone.
  bool writeError(std::string_view bytes);
  // The connection's socket, to wait for its end.
  int fd() const;
  // The status the command ends with (sent when the channel closes).
  void setExitStatus(int status) { exitStatus_ = status; }
  int exitStatus() const { return exitStatus_; }

 private:
  bool send(std::string_view bytes, bool toStderr);

  friend class Connection;
  ssh_session session_;
  ssh_channel channel_;
  std::string user_;
  std::string address_;
  std::optional<std::string> command_;
  bool pty_ = false;
  std::atomic<int> width_{0};
  std::atomic<int> height_{0};
  int exitStatus_ = 0;
  std::chrono::milliseconds writeLimit_;
  bool stalled_ = false;
};

// Serves one accepted TCP connection on the calling thread until it ends: key exchange,
// login (password and public key), one session channel with optional pty, a shell or one
// command. Never throws; failures end the connection. The connection's socket is closed
// when it returns. Another thread ends a connection at any stage by shutting its socket down
// (shutdown(2)); Serve then returns soon.
void Serve(int fd, const std::string& address, const ServerConfig& config);

}  // namespace velmar::ssh
