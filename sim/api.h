// The JSON-RPC methods of the simulated server, answered from an ObjectTree.
#pragma once

#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>

#include "sim/tree.h"

namespace velmar::sim {

inline constexpr int kErrorInvalidRequest = -32600;
inline constexpr int kErrorMethodNotFound = -32601;
inline constexpr int kErrorInternal = -32603;
inline constexpr int kErrorParse = -32700;

// {"jsonrpc":"2.0","error":{"code":...,"message":...},"id":...}
Json errorReply(int code, const std::string& message, const Json& id);

struct ApiMethods;

// The server's clock: Unix seconds now.
using Clock = std::function<int64_t()>;

// The wall clock.
int64_t WallClock();

class Api {
 public:
  Api(ObjectTree tree, std::string kernelVersion, int64_t kernelStart, Clock clock = WallClock);

  // Answers one parsed JSON-RPC request with the whole reply envelope. Never throws for
  // anything a client sends; every failure becomes an error reply. Thread-safe.
  Json call(const Json& request);

  // Throw std::runtime_error for an unknown ID (or one that is not a variable).
  std::string objectJson(int id) const;
  std::string variableValueJson(int id) const;

  // The live changes at `now`: every logged variable with a generator takes the generated
  // value of that moment, as if a device had reported it (logged when it changed).
  void liveTick(int64_t now);

 private:
  friend struct ApiMethods;

  Json dispatch(const std::string& method, const Json& params);

  mutable std::shared_mutex mutex_;
  ObjectTree tree_;
  std::string kernelVersion_;
  int64_t kernelStart_;
  Clock clock_;
};

}  // namespace velmar::sim
