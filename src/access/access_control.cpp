#include "access/access_control.h"

#include <algorithm>
#include <ctime>

#include "access/password.h"
#include "json/writer.h"
#include "platform/clock.h"
#include "platform/time_zone.h"
#include "telnet/line_input.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::access {
namespace {

constexpr char16_t kShutOut[] = u"Too many failed logins. Try again later.";
// Characters of a typed login name that are kept; longer input is cut.
constexpr std::size_t kMaxNameInput = 256;

std::string quotedUser(const std::string& user) {
  return user.empty() ? std::string("guest") : AuditQuote(user, kMaxNameLength);
}

// `text` as UTF-8 into `out`, without any temporary copy (an unpaired surrogate becomes
// U+FFFD).
void appendUtf8(std::u16string_view text, Secret& out) {
  auto& s = out.str();
  s.reserve(text.size() * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

std::string localTime(std::int64_t unixMilliseconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixMilliseconds / 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

// Closes connections whose login has not completed in time: one thread for all of them,
// started with the first login.
class AccessControl::Deadlines {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    Clock::time_point when;
    telnet::Client* client;
    bool expired = false;
  };
  using Handle = std::list<Entry>::iterator;

  ~Deadlines() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  Handle Add(telnet::Client& client, Clock::duration limit) {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    entries_.push_back({Clock::now() + limit, &client});
    changed_.notify_all();
    return std::prev(entries_.end());
  }

  // Forgets the entry; true when its time had run out (the connection was closed).
  bool Remove(Handle handle) {
    std::lock_guard lock(mutex_);
    const bool expired = handle->expired;
    entries_.erase(handle);
    return expired;
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      auto next = Clock::time_point::max();
      const auto now = Clock::now();
      for (auto& entry : entries_) {
        if (entry.expired) continue;
        if (entry.when <= now) {
          entry.expired = true;
          entry.client->Disconnect();  // wakes its blocked read
        } else {
          next = std::min(next, entry.when);
        }
      }
      if (next == Clock::time_point::max()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, next);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Entry> entries_;
  bool stopping_ = false;
  std::thread thread_;
};

AccessControl::AccessControl(AccessSettings settings, std::shared_ptr<AuditTrail> audit)
    : settings_(std::move(settings)),
      audit_(audit ? std::move(audit) : std::make_shared<AuditTrail>()),
      limiter_(settings_.limiter, settings_.now),
      deadlines_(std::make_unique<Deadlines>()) {
  if (!settings_.pause) {
    settings_.pause = [](telnet::Session& session, std::chrono::milliseconds pause) {
      session.delay(static_cast<std::int32_t>(pause.count()));
    };
  }
}

AccessControl::~AccessControl() = default;

void AccessControl::SetUsers(std::shared_ptr<const Users> users) {
  if (users) InitializeSodium();
  std::lock_guard lock(mutex_);
  users_ = std::move(users);
  dummyHash_.clear();
}

std::shared_ptr<const Users> AccessControl::users() const {
  std::lock_guard lock(mutex_);
  return users_;
}

std::vector<SessionInfo> AccessControl::Sessions() const {
  std::lock_guard lock(mutex_);
  std::vector<SessionInfo> result;
  for (const auto& [session, info] : sessions_) result.push_back(info);
  return result;
}

std::string AccessControl::who(const telnet::Session& session) {
  return "user=" + quotedUser(session.user) + " peer=" + session.peer() +
         transportField(session.transport());
}

std::string AccessControl::transportField(std::string_view transport) {
  // Telnet lines read as they always have; other transports are named.
  if (transport == "telnet") return {};
  return " transport=" + std::string(transport);
}

bool AccessControl::Opened(telnet::Session& session) {
  if (!session.authenticatedUser().empty()) {
    // The transport has let the user in and logged the connection (see TransportOpened).
    track(session);
    return true;
  }
  track(session);
  audit_->Log("connection opened peer=" + session.peer());
  if (users() && limiter_.Blocked(AddressOfPeer(session.peer()))) {
    audit_->Log("login refused peer=" + session.peer() + " reason=\"too many failed logins\"");
    session.WriteLn(kShutOut);
    return false;
  }
  return true;
}

void AccessControl::track(telnet::Session& session) {
  SessionInfo info;
  info.peer = session.peer();
  info.sinceUnixMilliseconds = platform::UnixMillisecondsNow();
  info.path = session.prompt;
  std::lock_guard lock(mutex_);
  sessions_.emplace_back(&session, std::move(info));
}

bool AccessControl::Login(telnet::Session& session) {
  const std::shared_ptr<const Users> users = this->users();
  if (!session.authenticatedUser().empty()) return admitAuthenticated(session, users.get());
  if (!users) return true;  // no login: the guest

  const Deadlines::Handle deadline = deadlines_->Add(session.client(), settings_.timeLimit);
  struct Forget {
    AccessControl& self;
    telnet::Session& session;
    Deadlines::Handle handle;
    ~Forget() {
      if (self.deadlines_->Remove(handle)) {
        self.audit_->Log("login time limit passed peer=" + session.peer());
      }
    }
  } forget{*this, session, deadline};

  for (int failures = 0; failures < settings_.attempts;) {
    switch (attempt(session, *users, failures == 0)) {
      case LoginOutcome::LoggedIn:
        return true;
      case LoginOutcome::ShutOut:
        return false;
      case LoginOutcome::Failed:
        ++failures;
        break;
    }
  }
  return false;
}

bool AccessControl::admitAuthenticated(telnet::Session& session, const Users* users) {
  // The users file may have changed since the transport checked the user.
  const User* user = users ? FindUser(*users, session.authenticatedUser()) : nullptr;
  if (!user) {
    audit_->Log("login refused user=" + AuditQuote(session.authenticatedUser(), kMaxNameLength) +
                " peer=" + session.peer() + transportField(session.transport()) +
                " reason=\"not in the users file\"");
    session.WriteLn(u"Permission denied.");
    return false;
  }
  setUser(session, *user);
  return true;
}

void AccessControl::setUser(telnet::Session& session, const User& user) {
  session.user = user.name;
  session.userlevel = user.level;
  std::lock_guard lock(mutex_);
  for (auto& [s, info] : sessions_) {
    if (s == &session) info.user = user.name;
  }
}

AccessControl::LoginOutcome AccessControl::attempt(telnet::Session& session, const Users& users,
                                                   bool first) {
  // The name; an empty line asks again without counting a failure. It is read like the
  // password, so that the Telnet commands a client sends when it connects (they come with
  // the first line) never become part of it.
  telnet::Client& client = session.client();
  std::u16string typed;
  bool firstLine = first;
  while (typed.empty()) {
    session.Write(u"Login: ");
    char16_t buffer[kMaxNameInput];
    const std::size_t length = client.InputSecretLn(buffer, kMaxNameInput);
    typed = text::Trim(telnet::cleanup(std::u16string_view(buffer, length), firstLine));
    firstLine = false;
  }
  const std::string name = text::Utf16ToUtf8(typed);

  session.Write(u"Password: ");
  client.SetClientEcho(false);
  Secret16 typedPassword;
  typedPassword.str().resize(kMaxPasswordLength);
  const std::size_t length =
      client.InputSecretLn(typedPassword.str().data(), typedPassword.str().size());
  client.SetClientEcho(true);
  session.WriteLn();

  Secret password;
  appendUtf8(std::u16string_view(typedPassword.str().data(), length), password);
  typedPassword.wipe();

  const User* user = nullptr;
  const LoginOutcome outcome =
      verify(users, name, password.view(), session.peer(), session.transport(), {}, &user);
  password.wipe();
  switch (outcome) {
    case LoginOutcome::LoggedIn:
      setUser(session, *user);
      break;
    case LoginOutcome::ShutOut:
      session.WriteLn(kShutOut);
      break;
    case LoginOutcome::Failed:
      session.WriteLn(u"Login incorrect");
      settings_.pause(session, settings_.failurePause);
      break;
  }
  return outcome;
}

AccessControl::LoginOutcome AccessControl::verify(const Users& users, const std::string& name,
                                                  std::string_view password,
                                                  const std::string& peer,
                                                  std::string_view transport,
                                                  std::string_view method, const User** found) {
  // An unknown name is checked against a real hash all the same, so that it takes as long
  // as a wrong password and the timing tells nothing about which names exist.
  const User* user = FindUser(users, name);
  const bool verified = VerifyPassword(user ? user->hash : hashForUnknownUser(users), password);
  const std::string where = " peer=" + peer + transportField(transport) +
                            (method.empty() ? std::string() : " method=" + std::string(method));
  if (user && verified) {
    audit_->Log("login ok user=" + quotedUser(user->name) + where +
                " level=" + std::to_string(user->level));
    if (found) *found = user;
    return LoginOutcome::LoggedIn;
  }
  audit_->Log("login failed user=" + AuditQuote(name, kMaxNameLength) + where +
              (user ? " reason=\"wrong password\"" : " reason=\"unknown user\""));
  if (limiter_.RecordFailure(AddressOfPeer(peer))) {
    audit_->Log("login shut out peer=" + peer + transportField(transport) +
                " reason=\"too many failed logins\"");
    return LoginOutcome::ShutOut;
  }
  return LoginOutcome::Failed;
}

void AccessControl::ConnectionRefused(const std::string& peer, std::string_view transport) {
  audit_->Log("connection refused peer=" + peer + transportField(transport) +
              " reason=\"too many connections\"");
}

bool AccessControl::TransportOpened(const std::string& peer, std::string_view transport) {
  audit_->Log("connection opened peer=" + peer + transportField(transport));
  if (users() && limiter_.Blocked(AddressOfPeer(peer))) {
    audit_->Log("login refused peer=" + peer + transportField(transport) +
                " reason=\"too many failed logins\"");
    return false;
  }
  return true;
}

AccessControl::LoginOutcome AccessControl::CheckPassword(const std::string& name,
                                                         std::string_view password,
                                                         const std::string& peer,
                                                         std::string_view transport) {
  const std::shared_ptr<const Users> users = this->users();
  if (!users) return LoginOutcome::Failed;
  if (limiter_.Blocked(AddressOfPeer(peer))) return LoginOutcome::ShutOut;
  return verify(*users, name, password, peer, transport, "password", nullptr);
}

bool AccessControl::CheckKeyLogin(const std::string& name, const std::string& peer,
                                  std::string_view transport) {
  const std::shared_ptr<const Users> users = this->users();
  const User* user = users ? FindUser(*users, name) : nullptr;
  const std::string where = " peer=" + peer + transportField(transport) + " method=key";
  if (!user) {
    audit_->Log("login failed user=" + AuditQuote(name, kMaxNameLength) + where +
                " reason=\"unknown user\"");
    return false;
  }
  if (limiter_.Blocked(AddressOfPeer(peer))) return false;
  audit_->Log("login ok user=" + quotedUser(user->name) + where +
              " level=" + std::to_string(user->level));
  return true;
}

void AccessControl::TransportClosed(const std::string& peer, const std::string& user,
                                    std::string_view transport) {
  audit_->Log("connection closed user=" + quotedUser(user) + " peer=" + peer +
              transportField(transport));
}

std::string AccessControl::hashForUnknownUser(const Users& users) {
  if (!users.empty()) return users.front().hash;
  std::lock_guard lock(mutex_);
  if (dummyHash_.empty()) dummyHash_ = HashPassword("velmar: no such user");
  return dummyHash_;
}

bool AccessControl::Permit(telnet::Session& session, const telnet::Command& command,
                           const std::u16string& commandline) {
  const bool refused = (settings_.readOnly && command.changesHome) ||
                       (!session.user.empty() && session.userlevel < command.level);
  if (refused) {
    audit_->Log("permission denied " + who(session) +
                " command=" + AuditQuote(text::Utf16ToUtf8(commandline)) +
                (settings_.readOnly && command.changesHome ? " reason=\"read-only\"" : ""));
  }
  return !refused;
}

void AccessControl::Ran(telnet::Session& session, const telnet::Command& command,
                        const std::u16string& commandline, const std::string& outcome) {
  if (command.changesHome) {
    audit_->Log("change " + who(session) + " command=" +
                AuditQuote(text::Utf16ToUtf8(commandline)) + " outcome=" + AuditQuote(outcome));
  }
  std::lock_guard lock(mutex_);
  for (auto& [s, info] : sessions_) {
    if (s == &session) info.path = session.prompt;
  }
}

void AccessControl::Closed(telnet::Session& session) {
  {
    std::lock_guard lock(mutex_);
    sessions_.remove_if([&](const auto& item) { return item.first == &session; });
  }
  // A transport that let the user in logs the end of its connection itself.
  if (session.authenticatedUser().empty()) audit_->Log("connection closed " + who(session));
}

namespace {

void listSessions(telnet::Session& session, const AccessControl& access) {
  const std::vector<SessionInfo> sessions = access.Sessions();
  std::vector<std::vector<std::u16string>> rows = {{u"USER", u"ADDRESS", u"SINCE", u"PATH"}};
  for (const SessionInfo& info : sessions) {
    rows.push_back({info.user.empty() ? u"guest" : text::Utf8ToUtf16(info.user),
                    text::Utf8ToUtf16(info.peer),
                    text::Utf8ToUtf16(localTime(info.sinceUnixMilliseconds)), info.path});
  }
  std::size_t widths[3] = {};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < 3; ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::u16string line;
    for (std::size_t i = 0; i < 3; ++i) {
      line += row[i];
      line.append(widths[i] - row[i].size() + 2, u' ');
    }
    line += row[3];
    session.WriteLn(line);
  }
}

}  // namespace

json::JsonValue SessionsJson(const std::vector<SessionInfo>& sessions) {
  json::JsonValue list = json::JsonValue::MakeArray();
  for (const SessionInfo& info : sessions) {
    json::JsonValue session = json::JsonValue::MakeObject();
    session.Put(u"user", info.user.empty()
                             ? json::JsonValue::MakeNull()
                             : json::JsonValue::MakeString(text::Utf8ToUtf16(info.user)));
    session.PutString(u"address", text::Utf8ToUtf16(info.peer));
    session.PutString(
        u"since", text::Utf8ToUtf16(platform::FormatIso8601(info.sinceUnixMilliseconds / 1000)));
    session.PutString(u"path", info.path);
    list.AsArray()->Add(session);
  }
  json::JsonValue document = json::JsonValue::MakeObject();
  document.Put(u"sessions", list);
  return document;
}

telnet::Command WhoCommand(std::shared_ptr<AccessControl> access) {
  telnet::Command command;
  command.words = {u"WHO"};
  command.level = kLevelAdmin;
  command.needsLogin = true;
  command.handler = [access = std::move(access)](telnet::Session& session,
                                                 const std::u16string& commandline) {
    if (text::TakeOptionWord(commandline, u"-json")) {
      session.WriteLn(json::AsJsonDocument(SessionsJson(access->Sessions())));
      return;
    }
    listSessions(session, *access);
  };
  return command;
}

std::string ReloadUsers(AccessControl& access, const std::string& path,
                        std::vector<std::string>* warnings) {
  try {
    access.SetUsers(std::make_shared<const Users>(LoadUsersFile(path, warnings)));
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace velmar::access
