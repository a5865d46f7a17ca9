// Access decided in one place: whether a client gets in (login against the users file,
// brute-force limits), what each user may run (levels, read-only mode), and the audit trail
// of it all. The sessions ask it through telnet::AccessPolicy; the SSH transport, which logs
// its users in before a session starts, through the Transport* and Check* calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "access/audit.h"
#include "access/authenticator.h"
#include "access/login_limiter.h"
#include "access/password_checks.h"
#include "access/session_registry.h"
#include "access/unauthenticated_connections.h"
#include "access/users_file.h"
#include "json/value.h"
#include "telnet/session.h"

namespace velmar::access {

struct AccessSettings {
  // set and run are refused for everyone.
  bool readOnly = false;
  // Failed logins of one connection before it is closed.
  int attempts = 3;
  // The pause after each failed login, before "Login incorrect".
  std::chrono::milliseconds failurePause{2000};
  // A login not completed within this time closes the connection.
  std::chrono::milliseconds timeLimit{60000};
  // How the pause after a failed login is waited; by default the session's delay (cut short
  // when the connection closes). Tests record the pauses instead of waiting them.
  std::function<void(telnet::Session&, std::chrono::milliseconds)> pause;
  LoginLimits limiter;
  LoginLimiter::Now now = &std::chrono::steady_clock::now;
  // Password checks at once, and waiting for their turn.
  PasswordChecks::Limits checks = PasswordChecks::DefaultLimits();
  // Connections of one client that have not logged in, at most (0: no limit). OpenSSH's
  // MaxStartups starts refusing at 10 unauthenticated connections in all; here the bound is
  // per client, so that one client cannot keep the others out.
  std::size_t maxUnauthenticated = 10;
  // How a password is checked against a hash (none: VerifyPassword); tests count the checks.
  Authenticator::Verify verify;
};

class AccessControl : public telnet::AccessPolicy {
 public:
  using LoginOutcome = access::LoginOutcome;

  explicit AccessControl(AccessSettings settings = {},
                         std::shared_ptr<AuditTrail> audit = std::make_shared<AuditTrail>());
  ~AccessControl() override;

  // The users who may log in; null (the default) means no login: every client is the guest
  // with every command. Every login checked from now on uses them; a session of a user who
  // is no longer in them is ended (with "Your account was removed."), and a changed level
  // applies from the session's next command.
  void SetUsers(std::shared_ptr<const Users> users);
  std::shared_ptr<const Users> users() const { return authenticator_.users(); }

  AuditTrail& audit() { return *audit_; }
  LoginLimiter& limiter() { return authenticator_.limiter(); }
  bool readOnly() const { return settings_.readOnly; }

  // The sessions `who` lists (logged in, or guests), in the order they were opened.
  std::vector<SessionInfo> Sessions() const { return registry_.Listed(); }

  // A new connection from `peer` (address and port), before a thread is spent on it: its
  // place among the client's connections that have not logged in, held until it ends. Null
  // (after an audit line) when the client has as many as it may.
  std::shared_ptr<void> AdmitConnection(const std::string& peer, std::string_view transport);
  // A connection to `transport` was turned away by the connection limits before any session,
  // for `reason`.
  void ConnectionRefused(const std::string& peer, std::string_view transport,
                         std::string_view reason = "too many connections");

  // For a transport that authenticates before the shell starts (SSH), named `transport` in
  // the audit lines. A connection has opened: false when its client is shut out.
  bool TransportOpened(const std::string& peer, std::string_view transport);
  // A password login (see Authenticator::CheckPassword); `wanted` tells whether the
  // connection still waits for it.
  LoginOutcome CheckPassword(const std::string& name, std::string_view password,
                             const std::string& peer, std::string_view transport,
                             const std::function<bool()>& wanted);
  // A key offered or signed (see Authenticator::CheckKey).
  LoginOutcome CheckKey(const std::string& name, const KeyAttempt& key, const std::string& peer,
                        std::string_view transport);
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

  LoginOutcome attempt(telnet::Session& session, bool first);
  bool admitAuthenticated(telnet::Session& session);
  void setUser(telnet::Session& session, const std::string& user, std::uint8_t level);
  // Takes the level the users file gives the session's user now; false once the user has
  // been removed.
  bool followUsersFile(telnet::Session& session);
  std::string who(const telnet::Session& session) const;

  AccessSettings settings_;
  std::shared_ptr<AuditTrail> audit_;
  Authenticator authenticator_;
  UnauthenticatedConnections unauthenticated_;
  SessionRegistry registry_;
  std::unique_ptr<Deadlines> deadlines_;
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
