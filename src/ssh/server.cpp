#include "ssh/server.h"

#include <libssh/callbacks.h>
#include <libssh/server.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "ssh/keys.h"

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
    if (ssh_handle_key_exchange(session_) != SSH_OK) return;

    ssh_event event = ssh_event_new();
    ssh_event_add_session(event, session_);
    while (!started_ && !refused_ && ssh_is_connected(session_) == 1) {
      if (ssh_event_dopoll(event, 1000) == SSH_ERROR) break;
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

  static int password(ssh_session, const char* user, const char* password, void* userdata) {
    Connection& c = self(userdata);
    if (c.shutOut_) c.refuse(kShutOutMessage);
    if (c.refused_ || !c.config_.checkPassword) return SSH_AUTH_DENIED;
    switch (c.config_.checkPassword(user, password, c.address_)) {
      case PasswordCheck::kAccepted:
        return c.accept(user);
      case PasswordCheck::kShutOut:
        c.refuse(kShutOutMessage);
        return SSH_AUTH_DENIED;
      case PasswordCheck::kRejected:
        break;
    }
    return c.deny();
  }

  static int publicKey(ssh_session, const char* user, ssh_key key, char state, void* userdata) {
    Connection& c = self(userdata);
    if (c.shutOut_) c.refuse(kShutOutMessage);
    if (c.refused_) return SSH_AUTH_DENIED;
    const bool known = IsAuthorizedKey(c.config_.authorizedKeysDir, user, key);
    if (state == SSH_PUBLICKEY_STATE_NONE) return known ? SSH_AUTH_SUCCESS : c.deny();
    if (state == SSH_PUBLICKEY_STATE_VALID && known) {
      if (!c.config_.checkKeyUser || c.config_.checkKeyUser(user, c.address_))
        return c.accept(user);
    }
    return c.deny();
  }

  static ssh_channel openChannel(ssh_session session, void* userdata) {
    Connection& c = self(userdata);
    if (!c.authenticated_ || c.rawChannel_ != nullptr) return nullptr;
    c.rawChannel_ = ssh_channel_new(session);
    if (c.rawChannel_ == nullptr) return nullptr;
    ssh_set_channel_callbacks(c.rawChannel_, &c.channelCallbacks_);
    c.channel_ = std::make_unique<Channel>(session, c.rawChannel_, c.user_, c.address_);
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

Channel::Channel(ssh_session session, ssh_channel channel, std::string user, std::string address)
    : session_(session), channel_(channel), user_(std::move(user)), address_(std::move(address)) {}

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
  while (!bytes.empty()) {
    const int count =
        ssh_channel_write(channel_, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool Channel::writeError(std::string_view bytes) {
  while (!bytes.empty()) {
    const int count =
        ssh_channel_write_stderr(channel_, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (count <= 0) return false;
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
      ssh_bind_accept_fd(bind, session, fd) == SSH_OK) {
    ownsFd = false;  // the session closes it
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
