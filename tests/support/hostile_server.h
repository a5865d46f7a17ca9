#pragma once

// A JSON-RPC server that plays a broken or hostile IP-Symcon server: it answers each call with
// whatever the test's handler makes of it (crafted records, texts full of escape sequences,
// replies that never end). It runs in a child process, so that the threads and descriptors in
// /proc/self belong to the code under test alone, and so that a reply that never ends costs
// the test process nothing.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace velmar::testing {

// How the server answers one call.
struct HostileReply {
  enum class Kind {
    Result,           // HTTP 200 with {"jsonrpc":"2.0","result":<json>,"id":1}
    Raw,              // `text` sent as it is, then the connection is closed
    Silent,           // the request is read and never answered
    EndlessContinue,  // "100 Continue" interim replies, one after the other, for ever
    EndlessTrailers,  // a chunked reply whose trailer section never ends
  };
  Kind kind = Kind::Result;
  std::string text;  // Result: the JSON text of the result; Raw: the bytes to send

  static HostileReply Result(std::string json) { return {Kind::Result, std::move(json)}; }
  static HostileReply Raw(std::string bytes) { return {Kind::Raw, std::move(bytes)}; }
  static HostileReply Of(Kind kind) { return {kind, {}}; }
};

// Makes the answer to one call from its method name and the JSON text of its parameters as the
// client sent them (for example "IPS_GetObject" and "[10001]").
using HostileHandler =
    std::function<HostileReply(const std::string& method, const std::string& params)>;

// A JSON string literal holding `text` (bytes taken as UTF-8): quotes, backslashes and every
// control character escaped, so that the client's JSON reader hands the bytes on unchanged.
std::string JsonString(const std::string& text);

class HostileServer {
 public:
  // Starts the server on an ephemeral loopback port. Create it before the code under test
  // starts threads of its own: the child process is forked from this one.
  explicit HostileServer(HostileHandler handler);
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace velmar::testing
