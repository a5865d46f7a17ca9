#include "ssh/server.h"

#include <libssh/callbacks.h>
#include <libssh/server.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/logger.h"
#include "ssh/keys.h"
#include "text/inert.h"

namespace velmar::ssh {

namespace {

// Closes the socket's both directions when the login takes too long, which ends any
// blocking read of libssh on it.
class LoginTimer {
 public:
  LoginTimer(int fd, std::chrono::milliseconds limit)
      : thread_([this, fd, limit] {
          std::unique_lock lock(mutex_);
          if (!wake_.wait_for(lock, limit, [this] { return done_; })) ::shutdown(fd, SHUT_RDWR);
        }) {}
  ~LoginTimer() { cancel(); }

  void cancel() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

constexpr char kShutOutMessage[] = "Too many failed logins. Try again later.";
constexpr char kBusyMessage[] = "Too many logins at once. Try again later.";

// What the server offers: only what today's audits pass (ssh-audit finds no weakness in
// any), which every maintained client speaks (OpenSSH, PuTTY, Dropbear). Key exchange:
// Curve25519 and the large finite-field groups; no NIST curves, no 2048-bit groups. Ciphers:
// the AEAD ones and AES in counter mode; MACs: encrypt-then-MAC only (the AEAD ciphers need
// none). libssh adds the strict key exchange marker (kex-strict) to what is listed here.
constexpr char kKeyExchange[] =
    "curve25519-sha256,curve25519-sha256@libssh.org,diffie-hellman-group16-sha512,"
    "diffie-hellman-group18-sha512";
constexpr char kCiphers[] =
    "chacha20-poly1305@openssh.com,aes256-gcm@openssh.com,aes128-gcm@openssh.com,aes256-ctr,"
    "aes192-ctr,aes128-ctr";
constexpr char kMacs[] = "hmac-sha2-256-etm@openssh.com,hmac-sha2-512-etm@openssh.com";

// Sets what the server offers on `bind`; false when libssh refuses one of the lists.
bool OfferAuditedAlgorithms(ssh_bind bind) {
  return ssh_bind_options_set(bind, SSH_BIND_OPTIONS_KEY_EXCHANGE, kKeyExchange) == SSH_OK &&
         ssh_bind_options_set(bind, SSH_BIND_OPTIONS_CIPHERS_C_S, kCiphers) == SSH_OK &&
         ssh_bind_options_set(bind, SSH_BIND_OPTIONS_CIPHERS_S_C, kCiphers) == SSH_OK &&
         ssh_bind_options_set(bind, SSH_BIND_OPTIONS_HMAC_C_S, kMacs) == SSH_OK &&
         ssh_bind_options_set(bind, SSH_BIND_OPTIONS_HMAC_S_C, kMacs) == SSH_OK;
}

void InitLibrary() {
  static const int status = ssh_init();
  (void)status;
}

}  // namespace

// The state of one connection from the key exchange to the end of its channel.
class Connection {
 public:
  Connection(ssh_session session, const std::string& address, const ServerConfig& config)
      : session_(session), address_(address), config_(config) {
    ssh_callbacks_init(&serverCallbacks_);
    serverCallbacks_.userdata = this;
    serverCallbacks_.auth_none_function = &Connection::none;
    serverCallbacks_.auth_password_function = &Connection::password;
    serverCallbacks_.auth_pubkey_function = &Connection::publicKey;
    serverCallbacks_.channel_open_request_session_function = &Connection::openChannel;
    ssh_set_server_callbacks(session_, &serverCallbacks_);

    ssh_callbacks_init(&channelCallbacks_);
    channelCallbacks_.userdata = this;
    channelCallbacks_.channel_pty_request_function = &Connection::ptyRequest;
    channelCallbacks_.channel_shell_request_function = &Connection::shellRequest;
    channelCallbacks_.channel_exec_request_function = &Connection::execRequest;
    channelCallbacks_.channel_pty_window_change_function = &Connection::windowChange;
  }

  void run() {
    int methods = 0;
    if (config_.checkPassword) methods |= SSH_AUTH_METHOD_PASSWORD;
    if (!config_.authorizedKeysDir.empty()) methods |= SSH_AUTH_METHOD_PUBLICKEY;
    ssh_set_auth_methods(session_, methods);
    if (ssh_handle_key_exchange(session_) != SSH_OK) {
      // Port scanners end here as often as broken clients; one line each tells them apart.
      platform::Log("SSH key exchange with " + address_ +
                    " failed: " + text::InertUtf8(ssh_get_error(session_)));
      return;
    }

    ssh_event event = ssh_event_new();
    ssh_event_add_session(event, session_);
    while (!started_ && !refused_ && ssh_is_connected(session_) == 1) {
      if (ssh_event_dopoll(event, 1000) == SSH_ERROR) break;
      // A packet libssh refuses (one over its size limit: an exec request of megabytes) leaves
      // the session failed but connected; waiting on would only wait for the login time.
      if ((ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0) break;
    }
    ssh_event_remove_session(event, session_);
    ssh_event_free(event);
    // The reason shown to the user (a banner) goes out before the connection is closed.
    if (refused_) ssh_blocking_flush(session_, 1000);
    if (!refused_ && started_ && channel_ != nullptr) {
      if (timer_) timer_->cancel();
      if (config_.onSession) config_.onSession(*channel_);
      ssh_channel_request_send_exit_status(rawChannel_, channel_->exitStatus());
      ssh_channel_send_eof(rawChannel_);
      ssh_channel_close(rawChannel_);
      awaitClientClose();
    }
    // Before the session is disconnected, which would take the channel with it.
    if (rawChannel_ != nullptr) ssh_channel_free(rawChannel_);
    rawChannel_ = nullptr;
  }

  void setTimer(LoginTimer* timer) { timer_ = timer; }
  // The client's address is shut out: every login attempt is refused, with the reason.
  void shutOut() { shutOut_ = true; }
  // The user logged in; empty while nobody is.
  const std::string& user() const { return user_; }

  // The client closes the connection once it has the exit status; closing it first could
  // cut off what is still on the way. A client that does not is given two seconds.
  void awaitClientClose() {
    ssh_event event = ssh_event_new();
    ssh_event_add_session(event, session_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (ssh_is_connected(session_) == 1 && std::chrono::steady_clock::now() < deadline) {
      if (ssh_event_dopoll(event, 100) == SSH_ERROR) break;
    }
    ssh_event_remove_session(event, session_);
    ssh_event_free(event);
  }

 private:
  static Connection& self(void* userdata) { return *static_cast<Connection*>(userdata); }

  // A failed attempt; the connection is refused after the last one allowed.
  int deny() {
    if (++failures_ >= config_.maxAttempts) refuse("Too many failed login attempts.");
    return SSH_AUTH_DENIED;
  }

  // No further attempt is taken; the client is told why in an authentication banner, which
  // OpenSSH shows (a disconnect message would be lost: libssh closes the socket before it is
  // sent).
  void refuse(const char* why) {
    if (refused_) return;
    refused_ = true;
    const std::string text = std::string(why) + "\r\n";
    ssh_string banner = ssh_string_from_char(text.c_str());
    if (banner != nullptr) {
      ssh_send_issue_banner(session_, banner);
      ssh_string_free(banner);
    }
  }

  static int none(ssh_session, const char*, void* userdata) {
    Connection& c = self(userdata);
    if (c.shutOut_) c.refuse(kShutOutMessage);
    return SSH_AUTH_DENIED;
  }

  int accept(const char* user) {
    user_ = user;
    authenticated_ = true;
    return SSH_AUTH_SUCCESS;
  }

  // Answers an attempt as `check` says; `proven`: a login rather than the offer of a key.
  int answer(LoginCheck check, const char* user, bool proven) {
    switch (check) {
      case LoginCheck::kAccepted:
        return proven ? accept(user) : SSH_AUTH_SUCCESS;
      case LoginCheck::kShutOut:
        refuse(kShutOutMessage);
        return SSH_AUTH_DENIED;
      case LoginCheck::kBusy:
        refuse(kBusyMessage);
        return SSH_AUTH_DENIED;
      case LoginCheck::kRejected:
        break;
    }
    return deny();
  }

  static int password(ssh_session session, const char* user, const char* password, void* userdata) {
    Connection& c = self(userdata);
    if (c.shutOut_) c.refuse(kShutOutMessage);
    if (c.refused_ || !c.config_.checkPassword) return SSH_AUTH_DENIED;
    // Shut down (switch-off, the login time) or reset, the socket hangs up.
    const int fd = ssh_get_fd(session);
    const auto connected = [fd] {
      pollfd hangup{fd, 0, 0};
      return ::poll(&hangup, 1, 0) == 0;
    };
    return c.answer(c.config_.checkPassword(user, password, c.address_, connected), user, true);
  }

  static int publicKey(ssh_session, const char* user, ssh_key key, char state, void* userdata) {
    Connection& c = self(userdata);
    if (c.shutOut_) c.refuse(kShutOutMessage);
    if (c.refused_) return SSH_AUTH_DENIED;
    KeyOffer offer;
    offer.fingerprint = Fingerprint(key);
    // A signature that did not verify proves nothing: that key is refused.
    offer.authorized = (state == SSH_PUBLICKEY_STATE_NONE || state == SSH_PUBLICKEY_STATE_VALID) &&
                       IsAuthorizedKey(c.config_.authorizedKeysDir, user, key);
    offer.proven = state != SSH_PUBLICKEY_STATE_NONE;
    if (!c.config_.checkKey) {
      return c.answer(offer.authorized ? LoginCheck::kAccepted : LoginCheck::kRejected, user,
                      offer.proven);
    }
    return c.answer(c.config_.checkKey(user, offer, c.address_), user, offer.proven);
  }

  static ssh_channel openChannel(ssh_session session, void* userdata) {
    Connection& c = self(userdata);
    if (!c.authenticated_ || c.rawChannel_ != nullptr) return nullptr;
    c.rawChannel_ = ssh_channel_new(session);
    if (c.rawChannel_ == nullptr) return nullptr;
    ssh_set_channel_callbacks(c.rawChannel_, &c.channelCallbacks_);
    c.channel_ = std::make_unique<Channel>(session, c.rawChannel_, c.user_, c.address_,
                                           c.config_.writeLimit);
    return c.rawChannel_;
  }

  static int ptyRequest(ssh_session, ssh_channel, const char*, int width, int height, int, int,
                        void* userdata) {
    Connection& c = self(userdata);
    if (c.started_) return -1;
    c.channel_->pty_ = true;
    c.channel_->width_ = width;
    c.channel_->height_ = height;
    return 0;
  }

  static int shellRequest(ssh_session, ssh_channel, void* userdata) {
    Connection& c = self(userdata);
    if (c.started_) return 1;
    c.started_ = true;
    return 0;
  }

  static int execRequest(ssh_session, ssh_channel, const char* command, void* userdata) {
    Connection& c = self(userdata);
    if (c.started_) return 1;
    c.channel_->command_ = command;
    c.started_ = true;
    return 0;
  }

  static int windowChange(ssh_session, ssh_channel, int width, int height, int, int,
                          void* userdata) {
    Connection& c = self(userdata);
    c.channel_->width_ = width;
    c.channel_->height_ = height;
    if (c.started_ && c.channel_->onResize) c.channel_->onResize(width);
    return 0;
  }

  ssh_session session_;
  const std::string& address_;
  const ServerConfig& config_;
  ssh_server_callbacks_struct serverCallbacks_{};
  ssh_channel_callbacks_struct channelCallbacks_{};
  LoginTimer* timer_ = nullptr;
  std::string user_;
  bool authenticated_ = false;
  bool refused_ = false;
  bool shutOut_ = false;
  bool started_ = false;
  int failures_ = 0;
  ssh_channel rawChannel_ = nullptr;
  std::unique_ptr<Channel> channel_;
};

Channel::Channel(ssh_session session, ssh_channel channel, std::string user, std::string address,
                 std::chrono::milliseconds writeLimit)
    : session_(session),
      channel_(channel),
      user_(std::move(user)),
      address_(std::move(address)),
      writeLimit_(writeLimit) {}

bool Channel::read(std::string& out, std::chrono::milliseconds timeout) {
  char buffer[4096];
  const int count = ssh_channel_read_timeout(channel_, buffer, sizeof buffer, 0,
                                             static_cast<int>(timeout.count()));
  if (count > 0) out.append(buffer, static_cast<std::size_t>(count));
  if (count == SSH_ERROR) return false;
  return !(count == 0 && ssh_channel_is_closed(channel_));
}

bool Channel::inputEnded() const {
  return ssh_channel_is_eof(channel_) != 0;
}

bool Channel::write(std::string_view bytes) {
  return send(bytes, false);
}

bool Channel::writeError(std::string_view bytes) {
  return send(bytes, true);
}

bool Channel::send(std::string_view bytes, bool toStderr) {
  const auto start = std::chrono::steady_clock::now();
  while (!bytes.empty()) {
    const auto size = static_cast<std::uint32_t>(bytes.size());
    const int count = toStderr ? ssh_channel_write_stderr(channel_, bytes.data(), size)
                               : ssh_channel_write(channel_, bytes.data(), size);
    if (count <= 0) {
      // libssh gives a blocking write up after the session's time-out, which Serve sets to
      // the write limit. Nothing more is sent to that client: everything after (exit status,
      // close) would wait as long again.
      if (std::chrono::steady_clock::now() - start >= writeLimit_) {
        stalled_ = true;
        ::shutdown(fd(), SHUT_RDWR);
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

int Channel::fd() const {
  return ssh_get_fd(session_);
}

void Serve(int fd, const std::string& address, const ServerConfig& config) {
  InitLibrary();
  ssh_bind bind = ssh_bind_new();
  ssh_session session = ssh_new();
  bool ownsFd = true;
  const bool no = false;
  if (bind != nullptr && session != nullptr &&
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_PROCESS_CONFIG, &no) == SSH_OK &&
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_HOSTKEY, config.hostKeyPath.c_str()) == SSH_OK &&
      OfferAuditedAlgorithms(bind) && ssh_bind_accept_fd(bind, session, fd) == SSH_OK) {
    ownsFd = false;  // the session closes it
    // libssh's blocking writes (a full send buffer, a closed window) give up after this.
    const long seconds = static_cast<long>(config.writeLimit.count() / 1000);
    const long microseconds = static_cast<long>(config.writeLimit.count() % 1000) * 1000;
    ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds);
    ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &microseconds);
    LoginTimer timer(fd, config.loginTime);
    Connection connection(session, address, config);
    connection.setTimer(&timer);
    if (config.admit && !config.admit(address)) connection.shutOut();
    connection.run();
    timer.cancel();
    ssh_disconnect(session);
    if (config.closed) config.closed(address, connection.user());
  }
  if (session != nullptr) ssh_free(session);
  if (bind != nullptr) ssh_bind_free(bind);
  if (ownsFd) ::close(fd);
}

}  // namespace velmar::ssh
