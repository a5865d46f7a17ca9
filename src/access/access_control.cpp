#include "access/access_control.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <list>
#include <mutex>
#include <thread>

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
constexpr char16_t kBusy[] = u"Too many logins at once. Try again later.";
// Characters of a typed login name that are kept; longer input is cut.
constexpr std::size_t kMaxNameInput = 256;

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

// Reads the password line into `password` as UTF-8. One code unit more than the longest
// password is read, so that a longer one arrives too long rather than cut to a length that
// might match.
void readPassword(telnet::Client& client, Secret& password) {
  Secret16 typed;
  typed.str().resize(kMaxPasswordBytes + 1);
  const std::size_t length = client.InputSecretLn(typed.str().data(), typed.str().size());
  appendUtf8(std::u16string_view(typed.str().data(), length), password);
  typed.wipe();
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
      authenticator_({settings_.limiter, settings_.now, settings_.checks, settings_.verify},
                     *audit_),
      unauthenticated_(settings_.maxUnauthenticated),
      deadlines_(std::make_unique<Deadlines>()) {
  if (!settings_.pause) {
    settings_.pause = [](telnet::Session& session, std::chrono::milliseconds pause) {
      session.delay(static_cast<std::int32_t>(pause.count()));
    };
  }
}

AccessControl::~AccessControl() = default;

void AccessControl::SetUsers(std::shared_ptr<const Users> users) {
  authenticator_.SetUsers(users);
  if (!users) return;
  for (const auto& ended : registry_.ApplyUsers(*users)) {
    audit_->Log("session ended user=" + AuditQuote(ended.user, kMaxNameLength) + " peer=" +
                ended.peer + TransportField(ended.transport) + " reason=\"account removed\"");
  }
}

std::string AccessControl::who(const telnet::Session& session) const {
  return "user=" + registry_.AuditName(session) + " peer=" + session.peer() +
         TransportField(session.transport());
}

std::shared_ptr<void> AccessControl::AdmitConnection(const std::string& peer,
                                                     std::string_view transport) {
  // Without users every client is in at once: nothing to wait for.
  if (!users()) return std::make_shared<bool>();
  std::shared_ptr<void> place = unauthenticated_.Admit(peer);
  if (!place) {
    audit_->Log("connection refused peer=" + peer + TransportField(transport) +
                " reason=\"too many connections not logged in\"");
  }
  return place;
}

void AccessControl::ConnectionRefused(const std::string& peer, std::string_view transport,
                                      std::string_view reason) {
  audit_->Log("connection refused peer=" + peer + TransportField(transport) +
              " reason=" + AuditQuote(reason));
}

bool AccessControl::Opened(telnet::Session& session) {
  if (!session.authenticatedUser().empty()) {
    // The transport has let the user in and logged the connection (see TransportOpened).
    registry_.Add(session, false);
    return true;
  }
  const bool guest = !users();
  registry_.Add(session, guest);
  audit_->Log("connection opened peer=" + session.peer());
  if (!guest && authenticator_.ShutOut(session.peer())) {
    audit_->Log("login refused peer=" + session.peer() + " reason=\"too many failed logins\"");
    session.WriteLn(kShutOut);
    return false;
  }
  return true;
}

bool AccessControl::Login(telnet::Session& session) {
  if (!session.authenticatedUser().empty()) return admitAuthenticated(session);
  if (!users()) return true;  // no login: the guest

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
    switch (attempt(session, failures == 0)) {
      case LoginOutcome::LoggedIn:
        return true;
      case LoginOutcome::Failed:
        ++failures;
        break;
      default:
        return false;
    }
  }
  return false;
}

bool AccessControl::admitAuthenticated(telnet::Session& session) {
  // The users file may have changed since the transport checked the user.
  const std::shared_ptr<const Users> users = this->users();
  const User* user = users ? FindUser(*users, session.authenticatedUser()) : nullptr;
  if (!user) {
    audit_->Log("login refused user=" + AuditQuote(session.authenticatedUser(), kMaxNameLength) +
                " peer=" + session.peer() + TransportField(session.transport()) +
                " reason=\"not in the users file\"");
    session.WriteLn(u"Permission denied.");
    return false;
  }
  setUser(session, user->name, user->level);
  return true;
}

void AccessControl::setUser(telnet::Session& session, const std::string& user, std::uint8_t level) {
  session.user = user;
  session.userlevel = level;
  registry_.LoggedIn(session, user, level);
}

AccessControl::LoginOutcome AccessControl::attempt(telnet::Session& session, bool first) {
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

  // The client stops its echo before the prompt appears, so that no key of the password
  // is ever shown.
  client.SetClientEcho(false);
  session.Write(u"Password: ");
  Secret password;
  readPassword(client, password);
  client.SetClientEcho(true);
  session.WriteLn();

  const LoginResult result =
      authenticator_.CheckPassword(name, password.view(), {session.peer(), session.transport(), {}},
                                   [&client] { return client.Connected(); });
  password.wipe();
  switch (result.outcome) {
    case LoginOutcome::LoggedIn:
      setUser(session, result.user, result.level);
      unauthenticated_.Release(session.peer());
      break;
    case LoginOutcome::ShutOut:
      session.WriteLn(kShutOut);
      break;
    case LoginOutcome::Busy:
      session.WriteLn(kBusy);
      break;
    case LoginOutcome::Failed:
      // The answer comes after the pause: a client that gives up at once gains nothing.
      settings_.pause(session, settings_.failurePause);
      session.WriteLn(u"Login incorrect");
      break;
    case LoginOutcome::Abandoned:
      break;
  }
  return result.outcome;
}

bool AccessControl::TransportOpened(const std::string& peer, std::string_view transport) {
  audit_->Log("connection opened peer=" + peer + TransportField(transport));
  if (users() && authenticator_.ShutOut(peer)) {
    audit_->Log("login refused peer=" + peer + TransportField(transport) +
                " reason=\"too many failed logins\"");
    return false;
  }
  return true;
}

AccessControl::LoginOutcome AccessControl::CheckPassword(const std::string& name,
                                                         std::string_view password,
                                                         const std::string& peer,
                                                         std::string_view transport,
                                                         const std::function<bool()>& wanted) {
  if (!users()) return LoginOutcome::Failed;
  const LoginResult result =
      authenticator_.CheckPassword(name, password, {peer, transport, "password"}, wanted);
  if (result.outcome == LoginOutcome::LoggedIn) unauthenticated_.Release(peer);
  return result.outcome;
}

AccessControl::LoginOutcome AccessControl::CheckKey(const std::string& name, const KeyAttempt& key,
                                                    const std::string& peer,
                                                    std::string_view transport) {
  if (!users()) return LoginOutcome::Failed;
  const LoginResult result = authenticator_.CheckKey(name, key, {peer, transport, "key"});
  if (result.outcome == LoginOutcome::LoggedIn && key.proven) unauthenticated_.Release(peer);
  return result.outcome;
}

void AccessControl::TransportClosed(const std::string& peer, const std::string& user,
                                    std::string_view transport) {
  unauthenticated_.Release(peer);
  audit_->Log("connection closed user=" + (user.empty() ? "-" : AuditQuote(user, kMaxNameLength)) +
              " peer=" + peer + TransportField(transport));
}

bool AccessControl::followUsersFile(telnet::Session& session) {
  const auto standing = registry_.StandingOf(session);
  if (!standing) return true;
  session.userlevel = standing->level;
  return !standing->removed;
}

bool AccessControl::Permit(telnet::Session& session, const telnet::Command& command,
                           const std::u16string& commandline) {
  const bool removed = !followUsersFile(session);
  const bool readOnly = settings_.readOnly && command.changesHome;
  const bool refused =
      removed || readOnly || (!session.user.empty() && session.userlevel < command.level);
  if (refused) {
    audit_->Log("permission denied " + who(session) +
                " command=" + AuditQuote(text::Utf16ToUtf8(commandline)) +
                (readOnly ? " reason=\"read-only\"" : ""));
  }
  return !refused;
}

void AccessControl::Ran(telnet::Session& session, const telnet::Command& command,
                        const std::u16string& commandline, const std::string& outcome) {
  if (command.changesHome) {
    audit_->Log("change " + who(session) + " command=" +
                AuditQuote(text::Utf16ToUtf8(commandline)) + " outcome=" + AuditQuote(outcome));
  }
  registry_.SetPath(session, session.prompt);
  // The next prompt shows the level the users file gives now.
  followUsersFile(session);
}

void AccessControl::Closed(telnet::Session& session) {
  const auto standing = registry_.StandingOf(session);
  if (standing && standing->removed) {
    try {
      session.WriteLn(u"Your account was removed.");
    } catch (const std::exception&) {
      // The client is gone already.
    }
  }
  // The server ended it (a client that reads nothing, an idle session): say why.
  const std::string& reason = session.client().closeReason();
  if (!reason.empty())
    audit_->Log("connection dropped " + who(session) + " reason=" + AuditQuote(reason));
  const std::string line = "connection closed " + who(session);
  registry_.Remove(session);
  unauthenticated_.Release(session.peer());
  // A transport that let the user in logs the end of its connection itself.
  if (session.authenticatedUser().empty()) audit_->Log(line);
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
