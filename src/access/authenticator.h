// Decides login attempts of every transport against the users file: a password (Telnet and
// SSH) or a key the SSH transport has checked. Every attempt passes the login limiter first,
// so that a shut-out client gets no check at all and one client never has more checks under
// way than it may fail; password checks then wait their turn in the queue of checks. Each
// attempt leaves an audit line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "access/audit.h"
#include "access/login_limiter.h"
#include "access/password_checks.h"
#include "access/users_file.h"

namespace velmar::access {

// The longest password checked, in bytes of UTF-8: what velmar-passwd accepts. A longer one
// fails as it is, never cut to this length.
inline constexpr std::size_t kMaxPasswordBytes = 1024;

enum class LoginOutcome {
  LoggedIn,
  Failed,     // wrong: answered as such, the connection may try again
  ShutOut,    // the client is shut out (or has as many attempts under way as it may fail)
  Busy,       // too many password checks wait already: nothing was checked
  Abandoned,  // the connection went while its check waited: nothing was checked
};

struct LoginResult {
  LoginOutcome outcome = LoginOutcome::Failed;
  std::string user;  // LoggedIn: the user as the file names it, and the level
  std::uint8_t level = kLevelGuest;
};

// Where an attempt comes from, for the limiter and the audit lines.
struct LoginSource {
  std::string peer;            // address and port
  std::string_view transport;  // "telnet", "ssh"
  std::string_view method;     // "password", "key"; empty for the Telnet dialogue
};

// A public key the SSH transport has been offered.
struct KeyAttempt {
  std::string fingerprint;  // "SHA256:..."
  bool authorized = false;  // listed for the user in the folder of authorized keys
  bool proven = false;      // signed by the client: the login itself, not an offer
};

// " transport=ssh" for transports other than Telnet, whose lines read as they always have.
std::string TransportField(std::string_view transport);

class Authenticator {
 public:
  // Checks a password against a hash; the seam through which tests count the checks.
  using Verify = std::function<bool(const std::string& hash, std::string_view password)>;

  struct Settings {
    LoginLimits limits;
    LoginLimiter::Now now = &LoginLimiter::Clock::now;
    PasswordChecks::Limits checks = PasswordChecks::DefaultLimits();
    Verify verify;  // none: VerifyPassword
  };

  Authenticator(Settings settings, AuditTrail& audit);

  // The users who may log in; checks take the users loaded at the moment they run.
  void SetUsers(std::shared_ptr<const Users> users);
  std::shared_ptr<const Users> users() const;

  // Whether the client at `peer` is shut out now.
  bool ShutOut(const std::string& peer) { return limiter_.Blocked(peer); }
  LoginLimiter& limiter() { return limiter_; }
  const PasswordChecks& checks() const { return checks_; }

  // A password login. An unknown name costs one check like a wrong password, so that the
  // time tells nothing about which names exist; while the check waits for its turn,
  // `wanted` is asked whether the connection still wants it.
  LoginResult CheckPassword(const std::string& name, std::string_view password,
                            const LoginSource& source, const std::function<bool()>& wanted);
  // A key offer or key login. An offer of an authorized key is answered without counting;
  // every refused key, offered or signed, is a failed attempt.
  LoginResult CheckKey(const std::string& name, const KeyAttempt& key, const LoginSource& source);

 private:
  // Runs the check of `password` for `name` with the users of this moment.
  LoginResult check(const std::string& name, std::string_view password, bool& known);
  std::string hashForUnknownUser(const Users& users);
  LoginResult refuse(const LoginSource& source, std::string_view reason);
  // `details`: the fields that say why ("reason=...").
  LoginResult fail(LoginLimiter::Attempt& attempt, const std::string& name,
                   const LoginSource& source, const std::string& details);
  LoginResult succeed(LoginLimiter::Attempt& attempt, const LoginResult& result,
                      const LoginSource& source);

  Verify verify_;
  AuditTrail& audit_;
  LoginLimiter limiter_;
  PasswordChecks checks_;

  mutable std::mutex mutex_;  // guards users_ and dummyHash_
  std::shared_ptr<const Users> users_;
  std::string dummyHash_;
};

}  // namespace velmar::access
