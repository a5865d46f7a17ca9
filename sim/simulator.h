// A simulated IP-Symcon server: the JSON-RPC API over HTTP on a loopback port, backed by an
// object tree loaded from a JSON file (or the built-in demo home), with switches for tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmar::sim {

// One HTTP request as it arrived: method, path, headers (grouped by name, in the order the HTTP
// parser keeps them), raw body bytes.
struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

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

struct SimulatorOptions {
  std::string bind = "127.0.0.1";
  int port = 0;                    // 0 = ephemeral
  std::string treeFile;            // empty = demo home
  std::string treeJson;            // inline tree text, wins over treeFile
  std::string username, password;  // both empty = no credentials required
  bool escapeUnicode = false;      // non-ASCII as \u escapes instead of raw UTF-8
  std::string kernelVersion = "6.4";
  int64_t kernelStart = 0;  // Unix seconds; 0 = the moment of start()
  int threads = 1024;  // most worker threads; each open connection holds one, more start as needed
  // Seconds between live changes of the logged variables that have a generator, while the
  // server runs (0 = none; tests call liveTick() instead).
  double liveSeconds = 0;
  // The server's clock in Unix seconds; empty = the wall clock.
  std::function<int64_t()> clock;
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();  // stops if running
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  void
  start();      // returns once listening; throws std::runtime_error with a clear message on failure
  void stop();  // idempotent
  int port() const;  // the bound port

  // Every request received, oldest first (a long-running server keeps the latest 100000).
  std::vector<RecordedRequest> requests() const;
  void clearRequests();
  std::size_t connectionsAccepted() const;  // TCP connections accepted so far (counted on accept)

  void setFault(const std::string& method, Fault fault);  // method "" = every method
  void clearFaults();
  // Every connection is closed after this many replies, without saying so in the last one
  // (0 = kept as long as the client likes).
  void setRepliesPerConnection(std::size_t replies);
  void setCredentials(std::string username, std::string password);  // both empty = none required
  void setEscapeUnicode(bool on);

  // The stored record of an object as IPS_GetObject would send it, as JSON text.
  // Throws std::runtime_error for an unknown ID.
  std::string objectJson(int id) const;
  // The current VariableValue as JSON text, e.g. "21.5", "true", "\"abc\"".
  // Throws std::runtime_error for an ID that is not a variable.
  std::string variableValueJson(int id) const;

  // The live changes of the logged variables with a generator at `now` (Unix seconds), as the
  // timer of `liveSeconds` makes them.
  void liveTick(int64_t now);

  // The built-in demo home as JSON text (the tree format of docs/tree-format.md).
  static std::string demoHomeJson();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmar::sim
