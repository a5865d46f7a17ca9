// The floor of `ls`: its HTTP requests, recorded once, replayed by a minimal client.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace velmar::load {

struct HttpRequest {
  std::string head;  // request line and headers up to the host
  std::string tail;  // the other headers, the blank line and the body
};

// A velmar process started by the driver, with its stderr on a pipe.
struct SpawnedVelmar {
  pid_t pid = 0;
  int telnetPort = 0;
  int errFd = -1;
};

// Starts velmar against the server on 127.0.0.1:serverPort with `extraArgs` and waits for its
// Telnet port; stopVelmar ends it.
SpawnedVelmar spawnVelmar(const std::string& velmarPath, int serverPort,
                          const std::vector<std::string>& extraArgs);
void stopVelmar(SpawnedVelmar& velmar);

// Starts velmar against an in-process simulator, runs the mix once and returns, per command of
// the mix, the requests that it sent, in order; `replies` gets the replies.
std::vector<std::vector<velmar::sim::RecordedRequest>> recordMix(const std::string& velmarPath,
                                                                 std::vector<std::string>& replies);

// Starts velmar against an in-process simulator, runs one `ls` in the category and returns the
// requests that `ls` sent, in order.
std::vector<velmar::sim::RecordedRequest> recordLs(const std::string& velmarPath,
                                                   std::string& lsReply);

// The recorded requests as they are sent to the simulator at `simPort`.
std::vector<HttpRequest> buildReplay(const std::vector<velmar::sim::RecordedRequest>& recorded,
                                     int simPort);

// One request on the open connection `fd`: sent, and its reply read whole into `buffer`
// (up to its Content-Length); stops the program unless the reply is 200.
void exchangeOn(int fd, const HttpRequest& req, std::string& buffer);

// The requests one after the other. With `keepPrevious` each connection stays open until the
// next reply has arrived, as velmar's client leaves it; otherwise it is closed at once.
void replayAll(int port, const std::vector<HttpRequest>& replay, bool keepPrevious);

}  // namespace velmar::load
