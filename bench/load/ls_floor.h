// The floor of `ls`: its HTTP requests, recorded once, replayed by a minimal client.
#pragma once

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace velmar::load {

struct HttpRequest {
  std::string head;  // request line and headers up to the host
  std::string tail;  // the other headers, the blank line and the body
};

// Starts velmar against an in-process simulator, runs one `ls` in the category and returns the
// requests that `ls` sent, in order.
std::vector<velmar::sim::RecordedRequest> recordLs(const std::string& velmarPath,
                                                   std::string& lsReply);

// The recorded requests as they are sent to the simulator at `simPort`.
std::vector<HttpRequest> buildReplay(const std::vector<velmar::sim::RecordedRequest>& recorded,
                                     int simPort);

// The requests one after the other. With `keepPrevious` each connection stays open until the
// next reply has arrived, as velmar's client leaves it; otherwise it is closed at once.
void replayAll(int port, const std::vector<HttpRequest>& replay, bool keepPrevious);

}  // namespace velmar::load
