#include "ssh_client.h"

#include <chrono>

#include "load_common.h"

namespace velmar::load {

SshKey::SshKey(const std::string& path) {
  ssh_init();
  if (ssh_pki_import_privkey_file(path.c_str(), nullptr, nullptr, nullptr, &key_) != SSH_OK)
    fail("cannot read the SSH key " + path);
}

SshKey::~SshKey() {
  ssh_key_free(key_);
}

bool SshClient::open(int port, const std::string& user, ssh_key key, const std::string& password,
                     std::string& error) {
  close();
  session_ = ssh_new();
  if (session_ == nullptr) {
    error = "ssh_new failed";
    return false;
  }
  const bool no = false;
  const long timeout = 30;
  const int verbosity = SSH_LOG_NOLOG;
  ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
  // No ~/.ssh/config and no known_hosts: the server's key is not checked on loopback.
  ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no);
  ssh_options_set(session_, SSH_OPTIONS_HOST, "127.0.0.1");
  ssh_options_set(session_, SSH_OPTIONS_PORT, &port);
  ssh_options_set(session_, SSH_OPTIONS_USER, user.c_str());
  ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
  // As OpenSSH's client does for interactive sessions: no Nagle delay on small packets.
  const int nodelay = 1;
  ssh_options_set(session_, SSH_OPTIONS_NODELAY, &nodelay);
  if (ssh_connect(session_) != SSH_OK) {
    error = std::string("connect: ") + ssh_get_error(session_);
    return false;
  }
  const int auth = key != nullptr ? ssh_userauth_publickey(session_, nullptr, key)
                                  : ssh_userauth_password(session_, nullptr, password.c_str());
  if (auth != SSH_AUTH_SUCCESS) {
    error = std::string("login refused: ") + ssh_get_error(session_);
    return false;
  }
  channel_ = ssh_channel_new(session_);
  if (channel_ == nullptr || ssh_channel_open_session(channel_) != SSH_OK ||
      ssh_channel_request_pty_size(channel_, "xterm", 80, 24) != SSH_OK ||
      ssh_channel_request_shell(channel_) != SSH_OK) {
    error = std::string("channel: ") + ssh_get_error(session_);
    return false;
  }
  greeting_.clear();
  if (!readUntilPrompt(greeting_)) {
    error = "no prompt; got: " + greeting_;
    return false;
  }
  return true;
}

bool SshClient::command(const std::string& line, std::string& reply) {
  const std::string typed = line + "\r";
  if (ssh_channel_write(channel_, typed.data(), static_cast<uint32_t>(typed.size())) !=
      static_cast<int>(typed.size()))
    return false;
  reply.clear();
  return readUntilPrompt(reply);
}

bool SshClient::readUntilPrompt(std::string& text) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  char chunk[16384];
  while (text.size() < kPromptEnd.size() ||
         text.compare(text.size() - kPromptEnd.size(), kPromptEnd.size(), kPromptEnd) != 0) {
    if (Clock::now() > deadline) return false;
    const int n = ssh_channel_read_timeout(channel_, chunk, sizeof chunk, 0, 1000);
    if (n == SSH_ERROR || (n == 0 && ssh_channel_is_eof(channel_))) return false;
    if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

void SshClient::close() {
  if (channel_ != nullptr) {
    ssh_channel_free(channel_);
    channel_ = nullptr;
  }
  if (session_ != nullptr) {
    ssh_disconnect(session_);
    ssh_free(session_);
    session_ = nullptr;
  }
}

}  // namespace velmar::load
