#include "access/session_registry.h"

#include "access/audit.h"
#include "platform/clock.h"

namespace velmar::access {

SessionRegistry::Entry* SessionRegistry::find(const telnet::Session& session) {
  for (Entry& entry : entries_) {
    if (entry.session == &session) return &entry;
  }
  return nullptr;
}

const SessionRegistry::Entry* SessionRegistry::find(const telnet::Session& session) const {
  return const_cast<SessionRegistry*>(this)->find(session);
}

void SessionRegistry::Add(telnet::Session& session, bool guest) {
  Entry entry{&session, {}, guest, false, {}};
  entry.info.peer = session.peer();
  entry.info.sinceUnixMilliseconds = platform::UnixMillisecondsNow();
  entry.info.path = session.prompt;
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
}

void SessionRegistry::Remove(const telnet::Session& session) {
  std::lock_guard lock(mutex_);
  entries_.remove_if([&](const Entry& entry) { return entry.session == &session; });
}

void SessionRegistry::LoggedIn(const telnet::Session& session, const std::string& user,
                               std::uint8_t level) {
  std::lock_guard lock(mutex_);
  if (Entry* entry = find(session)) {
    entry->loggedIn = true;
    entry->info.user = user;
    entry->standing = {false, level};
  }
}

void SessionRegistry::SetPath(const telnet::Session& session, const std::u16string& path) {
  std::lock_guard lock(mutex_);
  if (Entry* entry = find(session)) entry->info.path = path;
}

std::vector<SessionInfo> SessionRegistry::Listed() const {
  std::lock_guard lock(mutex_);
  std::vector<SessionInfo> listed;
  for (const Entry& entry : entries_) {
    if (entry.guest || entry.loggedIn) listed.push_back(entry.info);
  }
  return listed;
}

std::optional<SessionRegistry::Standing> SessionRegistry::StandingOf(
    const telnet::Session& session) const {
  std::lock_guard lock(mutex_);
  const Entry* entry = find(session);
  if (entry == nullptr || !entry->loggedIn) return std::nullopt;
  return entry->standing;
}

std::vector<SessionRegistry::Ended> SessionRegistry::ApplyUsers(const Users& users) {
  std::vector<Ended> ended;
  std::lock_guard lock(mutex_);
  for (Entry& entry : entries_) {
    if (!entry.loggedIn || entry.standing.removed) continue;
    if (const User* user = FindUser(users, entry.info.user)) {
      entry.standing.level = user->level;
      continue;
    }
    entry.standing.removed = true;
    // Under the lock: the session cannot end and go meanwhile.
    entry.session->client().EndSession();
    ended.push_back({entry.info.user, entry.info.peer, std::string(entry.session->transport())});
  }
  return ended;
}

std::string SessionRegistry::AuditName(const telnet::Session& session) const {
  std::lock_guard lock(mutex_);
  const Entry* entry = find(session);
  if (entry != nullptr && entry->loggedIn) return AuditQuote(entry->info.user, kMaxNameLength);
  return entry != nullptr && entry->guest ? "guest" : "-";
}

}  // namespace velmar::access
