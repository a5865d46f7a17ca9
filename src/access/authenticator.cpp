#include "access/authenticator.h"

#include "access/password.h"

namespace velmar::access {

namespace {

LoginResult only(LoginOutcome outcome) {
  LoginResult result;
  result.outcome = outcome;
  return result;
}

std::string where(const LoginSource& source) {
  std::string text = " peer=" + source.peer + TransportField(source.transport);
  if (!source.method.empty()) text += " method=" + std::string(source.method);
  return text;
}

}  // namespace

std::string TransportField(std::string_view transport) {
  if (transport == "telnet") return {};
  return " transport=" + std::string(transport);
}

Authenticator::Authenticator(Settings settings, AuditTrail& audit)
    : verify_(settings.verify ? std::move(settings.verify) : Verify(&VerifyPassword)),
      audit_(audit),
      limiter_(settings.limits, std::move(settings.now)),
      checks_(settings.checks) {}

void Authenticator::SetUsers(std::shared_ptr<const Users> users) {
  if (users) InitializeSodium();
  std::lock_guard lock(mutex_);
  users_ = std::move(users);
  dummyHash_.clear();
}

std::shared_ptr<const Users> Authenticator::users() const {
  std::lock_guard lock(mutex_);
  return users_;
}

LoginResult Authenticator::CheckPassword(const std::string& name, std::string_view password,
                                         const LoginSource& source,
                                         const std::function<bool()>& wanted) {
  std::optional<LoginLimiter::Attempt> attempt = limiter_.Begin(source.peer);
  if (!attempt) return refuse(source, "too many failed logins");
  if (password.size() > kMaxPasswordBytes) {
    return fail(*attempt, name, source, "reason=\"password too long\"");
  }
  LoginResult result;
  bool known = false;
  switch (checks_.Run([&] { result = check(name, password, known); }, wanted)) {
    case PasswordChecks::Outcome::kChecked:
      break;
    case PasswordChecks::Outcome::kBusy:
      refuse(source, "too many logins at once");
      return only(LoginOutcome::Busy);
    case PasswordChecks::Outcome::kAbandoned:
      return only(LoginOutcome::Abandoned);
  }
  if (result.outcome == LoginOutcome::LoggedIn) return succeed(*attempt, result, source);
  return fail(*attempt, name, source,
              known ? "reason=\"wrong password\"" : "reason=\"unknown user\"");
}

LoginResult Authenticator::CheckKey(const std::string& name, const KeyAttempt& key,
                                    const LoginSource& source) {
  std::optional<LoginLimiter::Attempt> attempt = limiter_.Begin(source.peer);
  if (!attempt) return refuse(source, "too many failed logins");
  if (!key.authorized) {
    return fail(*attempt, name, source,
                "key=" + AuditQuote(key.fingerprint, 128) + " reason=\"key not authorized\"");
  }
  // An offer of a key the client may use: no login yet, and nothing to count.
  if (!key.proven) return only(LoginOutcome::LoggedIn);
  const std::shared_ptr<const Users> users = this->users();
  const User* user = users ? FindUser(*users, name) : nullptr;
  if (user == nullptr) return fail(*attempt, name, source, "reason=\"unknown user\"");
  return succeed(*attempt, {LoginOutcome::LoggedIn, user->name, user->level}, source);
}

LoginResult Authenticator::check(const std::string& name, std::string_view password, bool& known) {
  const std::shared_ptr<const Users> users = this->users();
  if (!users) return only(LoginOutcome::Failed);
  const User* user = FindUser(*users, name);
  known = user != nullptr;
  // An unknown name is checked against a real hash all the same.
  const bool verified = verify_(user ? user->hash : hashForUnknownUser(*users), password);
  if (user == nullptr || !verified) return only(LoginOutcome::Failed);
  return {LoginOutcome::LoggedIn, user->name, user->level};
}

std::string Authenticator::hashForUnknownUser(const Users& users) {
  if (!users.empty()) return users.front().hash;
  std::lock_guard lock(mutex_);
  if (dummyHash_.empty()) dummyHash_ = HashPassword("velmar: no such user");
  return dummyHash_;
}

LoginResult Authenticator::refuse(const LoginSource& source, std::string_view reason) {
  audit_.Log("login refused peer=" + source.peer + TransportField(source.transport) + " reason=\"" +
             std::string(reason) + "\"");
  return only(LoginOutcome::ShutOut);
}

LoginResult Authenticator::fail(LoginLimiter::Attempt& attempt, const std::string& name,
                                const LoginSource& source, const std::string& details) {
  audit_.Log("login failed user=" + AuditQuote(name, kMaxNameLength) + where(source) + " " +
             details);
  if (!attempt.Failed()) return only(LoginOutcome::Failed);
  audit_.Log("login shut out peer=" + source.peer + TransportField(source.transport) +
             " reason=\"too many failed logins\"");
  return only(LoginOutcome::ShutOut);
}

LoginResult Authenticator::succeed(LoginLimiter::Attempt& attempt, const LoginResult& result,
                                   const LoginSource& source) {
  attempt.Succeeded();
  audit_.Log("login ok user=" + AuditQuote(result.user, kMaxNameLength) + where(source) +
             " level=" + std::to_string(result.level));
  return result;
}

}  // namespace velmar::access
