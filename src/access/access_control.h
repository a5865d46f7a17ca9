// Access decided in one place: whether a client gets in (login against the users file,
// brute-force limits), what each user may run (levels, read-only mode), and the audit trail
// of it all. The Telnet sessions ask it through telnet::AccessPolicy.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "access/audit.h"
#include "access/login_limiter.h"
#include "access/users_file.h"
#include "json/value.h"
#include "telnet/session.h"

namespace velmar::access {

struct AccessSettings {
  // set and run are refused for everyone.
  bool readOnly = false;
  // Failed logins of one connection before it is closed.
  int attempts = 3;
  // The pause after each failed login.
  std::chrono::milliseconds failurePause{2000};
  // A login not completed within this time closes the connection.
  std::chrono::milliseconds timeLimit{60000};
  // How the pause after a failed login is waited; by default the session's delay (cut short
  // when the connection closes). Tests record the pauses instead of waiting them.
  std::function<void(telnet::Session&, std::chrono::milliseconds)> pause;
  LoginLimits limiter;
  LoginLimiter::Now now = &std::chrono::steady_clock::now;
};

// One open session as `who` lists it.
struct SessionInfo {
  std::string user;  // empty: the guest of a shell without login
  std::string peer;
  std::int64_t sinceUnixMilliseconds = 0;
  std::u16string path;  // the current category as the prompt shows it
};

// The longest password read at login, in UTF-16 code units; longer input is cut.
inline constexpr std::size_t kMaxPasswordLength = 1024;

class AccessControl : public telnet::AccessPolicy {
 public:
  explicit AccessControl(AccessSettings settings = {},
                         std::shared_ptr<AuditTrail> audit = std::make_shared<AuditTrail>());
  ~AccessControl() override;

  // The users who may log in; null (the default) means no login: every client is the guest
  // with every command. Applies to connections opened afterwards.
  void SetUsers(std::shared_ptr<const Users> users);
  std::shared_ptr<const Users> users() const;

  AuditTrail& audit() { return *audit_; }
  LoginLimiter& limiter() { return limiter_; }
  bool readOnly() const { return settings_.readOnly; }

  // The open sessions, in the order they were opened.
  std::vector<SessionInfo> Sessions() const;

  enum class LoginOutcome { LoggedIn, Failed, ShutOut };

  // A connection to `transport` was turned away by the connection limits before any session.
  void ConnectionRefused(const std::string& peer, std::string_view transport);

  // For a transport that authenticates before the shell starts (SSH), named `transport` in
  // the audit lines. A connection has opened: false when its address is shut out.
  bool TransportOpened(const std::string& peer, std::string_view transport);
  // A password login: checked against the users file, counted by the brute-force limiter
  // (ShutOut once the address is shut out) and logged.
  LoginOutcome CheckPassword(const std::string& name, std::string_view password,
                             const std::string& peer, std::string_view transport);
  // A login with a key the transport has verified: true when `name` is in the users file
  // and the address is not shut out; logged.
  bool CheckKeyLogin(const std::string& name, const std::string& peer, std::string_view transport);
  // The connection has ended; `user` is empty when nobody logged in.
  void TransportClosed(const std::string& peer, const std::string& user,
                       std::string_view transport);

  // telnet::AccessPolicy
  bool Opened(telnet::Session& session) override;
  bool Login(telnet::Session& session) override;
  bool Permit(telnet::Session& session, const telnet::Command& command,
              const std::u16string& commandline) override;
  void Ran(telnet::Session& session, const telnet::Command& command,
           const std::u16string& commandline, const std::string& outcome) override;
  void Closed(telnet::Session& session) override;

 private:
  class Deadlines;

  LoginOutcome attempt(telnet::Session& session, const Users& users, bool first);
  LoginOutcome verify(const Users& users, const std::string& name, std::string_view password,
                      const std::string& peer, std::string_view transport, std::string_view method,
                      const User** found);
  bool admitAuthenticated(telnet::Session& session, const Users* users);
  void setUser(telnet::Session& session, const User& user);
  void track(telnet::Session& session);
  std::string hashForUnknownUser(const Users& users);
  static std::string who(const telnet::Session& session);
  static std::string transportField(std::string_view transport);

  AccessSettings settings_;
  std::shared_ptr<AuditTrail> audit_;
  LoginLimiter limiter_;
  std::unique_ptr<Deadlines> deadlines_;

  mutable std::mutex mutex_;  // guards users_, sessions_ and dummyHash_
  std::shared_ptr<const Users> users_;
  std::list<std::pair<const telnet::Session*, SessionInfo>> sessions_;
  std::string dummyHash_;
};

// The document of `who -json`: {"sessions":[{"user", "address", "since", "path"}]}, the user
// null for the guest of a shell without login, "since" an ISO 8601 time.
json::JsonValue SessionsJson(const std::vector<SessionInfo>& sessions);

// The dispatch row of `who` (level 10): lists the sessions of `access`; with -json as one
// document (SessionsJson).
telnet::Command WhoCommand(std::shared_ptr<AccessControl> access);

// Loads the users file at `path` into `access`. On failure the users loaded before stay and
// the message is returned; warnings (a file others may read) are added to `warnings`.
std::string ReloadUsers(AccessControl& access, const std::string& path,
                        std::vector<std::string>* warnings = nullptr);

}  // namespace velmar::access
