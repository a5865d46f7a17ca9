// How many connections of one client have not logged in yet. Each holds a thread and, once
// it sends a password, a place in the password checks; a few per client are all a person
// needs, while a client that opens hundreds at once would keep everybody else waiting. So a
// client (as the login limits count it: an address, or an IPv6 /64) gets a bounded number
// of them; a connection stops counting once it has logged in.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace velmar::access {

class UnauthenticatedConnections {
 public:
  // At most `perClient` at once; 0: no limit.
  explicit UnauthenticatedConnections(std::size_t perClient);

  // A place for a new connection from `peer` (address and port), held by the connection
  // until it ends or logs in; null when the client has `perClient` places already.
  std::shared_ptr<void> Admit(const std::string& peer);
  // The connection from `peer` has logged in, or ended: its place is free for another (the
  // connection's end frees it anyway; this frees it at once).
  void Release(const std::string& peer);

  // Connections of the client at `peer` that have not logged in.
  std::size_t Count(const std::string& peer) const;

 private:
  struct State;
  struct Place;
  std::size_t perClient_;
  std::shared_ptr<State> state_;
};

}  // namespace velmar::access
