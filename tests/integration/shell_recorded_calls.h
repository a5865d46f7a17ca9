// The server calls a shell command made, as the simulator recorded them: the shell tests
// compare these with the exact sequence each command must send.
#pragma once

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace velmar::testing {

// "IPS_GetObject[12345]" for a request body as the client writes it
// ({"method":"...","params":[...],...}); "?" and the body for anything else.
inline std::string MethodAndParams(const std::string& body) {
  const std::string methodKey = "{\"method\":\"";
  const std::string paramsKey = "\",\"params\":[";
  const std::size_t method = body.find(methodKey);
  const std::size_t params = body.find(paramsKey);
  const std::size_t close = params == std::string::npos ? params : body.find("],", params);
  if (method != 0 || params == std::string::npos || close == std::string::npos) {
    return "?" + body;
  }
  return body.substr(methodKey.size(), params - methodKey.size()) + "[" +
         body.substr(params + paramsKey.size(), close - params - paramsKey.size()) + "]";
}

// The calls the server received since the last take, in order; the recorder is emptied.
inline std::vector<std::string> TakeRecordedCalls(sim::Simulator& server) {
  std::vector<std::string> calls;
  for (const auto& request : server.requests()) calls.push_back(MethodAndParams(request.body));
  server.clearRequests();
  return calls;
}

}  // namespace velmar::testing
