// Faults that the simulated server can be told to meet, for tests: what a request meets
// instead of the API's answer, and the table of the faults set.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace velmar::sim {

enum class FaultKind {
  ErrorReply,         // HTTP 200 with a JSON-RPC error carrying `message`
  HttpStatus,         // the HTTP status `status` with a short text body
  EmptyBody,          // HTTP 200 with an empty body
  NonJsonBody,        // HTTP 200 with a body that is not JSON
  DropConnection,     // part of the status line and headers, then the connection is closed
  CloseWithoutReply,  // the connection is closed without a byte of reply
  Delay,              // wait `delay`, then answer normally
};

struct Fault {
  FaultKind kind;
  int status = 500;
  std::string message = "Simulated failure";
  std::chrono::milliseconds delay{0};
  bool once = false;                         // only the next matching request meets the fault
  std::optional<std::int64_t> firstParam{};  // only requests whose first parameter is this number
};

// The faults set, by method ("" = every method). Thread-safe.
class FaultTable {
 public:
  void set(const std::string& method, Fault fault);
  void clear();
  // The fault that a request for `method` whose first parameter is `firstParam` meets: the
  // one set for the method, else the one for every method; a `once` fault is gone after it.
  std::optional<Fault> meet(const std::string& method, std::optional<std::int64_t> firstParam);

 private:
  std::mutex mutex_;
  std::map<std::string, Fault> faults_;
};

}  // namespace velmar::sim
