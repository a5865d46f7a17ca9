// The open sessions: what `who` lists, and what a reload of the users file means for the
// sessions already logged in (ended for a removed user, the new level for a changed one).
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "access/users_file.h"
#include "telnet/session.h"

namespace velmar::access {

// One open session as `who` lists it.
struct SessionInfo {
  std::string user;  // empty: the guest of a shell without login
  std::string peer;
  std::int64_t sinceUnixMilliseconds = 0;
  std::u16string path;  // the current category as the prompt shows it
};

class SessionRegistry {
 public:
  // `session` has opened; `guest`: it is let in without a login (no users file).
  void Add(telnet::Session& session, bool guest);
  // Once, when the session ends.
  void Remove(const telnet::Session& session);
  void LoggedIn(const telnet::Session& session, const std::string& user, std::uint8_t level);
  void SetPath(const telnet::Session& session, const std::u16string& path);

  // The sessions `who` lists, in the order they opened: those logged in, and guests.
  std::vector<SessionInfo> Listed() const;

  // What the users file says of the user of a logged-in session now.
  struct Standing {
    bool removed = false;  // the user is no longer in the file
    std::uint8_t level = kLevelGuest;
  };
  std::optional<Standing> StandingOf(const telnet::Session& session) const;

  // The users file has been read again. The sessions of users no longer in `users` are
  // ended (their command interrupted, their input closed) and given back; the others take
  // their user's level from their next command.
  struct Ended {
    std::string user;
    std::string peer;
    std::string transport;
  };
  std::vector<Ended> ApplyUsers(const Users& users);

  // The user of `session` as audit lines name it: the name in quotes, guest for a shell
  // without login, "-" for a connection that has not logged in.
  std::string AuditName(const telnet::Session& session) const;

 private:
  struct Entry {
    telnet::Session* session;
    SessionInfo info;
    bool guest = false;
    bool loggedIn = false;
    Standing standing;
  };
  Entry* find(const telnet::Session& session);
  const Entry* find(const telnet::Session& session) const;

  mutable std::mutex mutex_;
  std::list<Entry> entries_;
};

}  // namespace velmar::access
