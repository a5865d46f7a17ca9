// Many Telnet sessions on one epoll, each running the command mix and checking every reply
// byte for byte against the reference.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "load_common.h"
#include "telnet_io.h"

namespace velmar::load {

struct Session {
  int fd = -1;
  enum State { Connecting, Greeting, Idle, Running, Done, Failed } state = Connecting;
  std::size_t received = 0;  // bytes of the current expected reply matched so far
  const std::string* expected = nullptr;
  std::size_t command = 0;  // index into the mix
  long roundsLeft = 0;
  Clock::time_point sent;
};

struct PhaseResult {
  long commands = 0;
  long wrong = 0;   // a reply that differs from the reference
  long failed = 0;  // connection lost or no reply in time
  double wallSeconds = 0;
  std::vector<double> latencies;    // seconds per command
  std::vector<double> lsLatencies;  // the same for `ls` alone
};

class Driver {
 public:
  Driver(int port, const Reference& ref);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Opens n sessions and waits for every greeting; false when some failed.
  bool open(std::size_t n, std::chrono::seconds limit);

  // Every open session runs the mix `rounds` times (or until `until`), sending each command
  // as soon as the previous reply is complete.
  PhaseResult run(long rounds, Clock::time_point until);

  void closeAll();

 private:
  // False when the connection is broken.
  bool sendCommand(Session& s);

  // Waits up to `timeoutMs` for socket events and calls onEvent(session, complete) for each
  // reply completed and each session lost while it was waited for.
  template <typename OnEvent>
  void pump(int timeoutMs, OnEvent&& onEvent);

  // Ends a session; the caller hears of it only while it waits for this session.
  template <typename OnEvent>
  void endSession(Session& s, OnEvent& onEvent);

  int port_;
  const Reference& ref_;
  int epoll_ = -1;
  std::vector<Session> sessions_;
  long wrong_ = 0;
  long wrongShown_ = 0;
  char chunk_[65536];
};

// The p-quantile (0..1) of the values, 0 for none.
double percentile(std::vector<double> values, double p);

}  // namespace velmar::load
