#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/http_client.h"
#include "json/value.h"

namespace velmar::api {

// A JSON value as the transport hands it out: the reply's "result" member, or no value
// (an empty reference) when the reply has none. A JSON null is a value of kind null.
using JsonRef = json::JsonValue;

// The typed arguments of a server call, in order: 32-bit integers, Booleans, doubles,
// code-page text (Windows-1252 bytes) and Unicode text (sent with every character).
using RpcParams = std::vector<json::JsonArg>;

// Whether the TLS form checks the server's certificate and host name. Checking is the
// default; skipping it is an explicit choice for servers with self-signed certificates.
enum class TlsVerification { Verify, Skip };

// Module start-up, for program start on the main thread: prepares the HTTP library once,
// marks the module uninitialised and gives the calling thread its client (when it has none).
void InitializeRPCModule();

// Module shutdown, for program end on the main thread: releases the calling thread's client
// and forgets the connection settings.
void FinalizeRPCModule();

// Stores the connection settings. Host, username and password are code-page text. Only the
// program's main thread may call it; any other thread gets an error and nothing is stored.
void InitializeRPC(const std::string& host, std::int32_t port, bool useSSL,
                   const std::string& username, const std::string& password,
                   TlsVerification verification = TlsVerification::Verify);

// How long a request may take and how large its reply may be, for every request of the
// process from the next one on. The defaults suit the window, which has no field for them.
inline constexpr std::int32_t kDefaultRequestTimeoutSeconds = 60;
struct RequestLimits {
  std::int32_t timeoutSeconds = kDefaultRequestTimeoutSeconds;  // 0: wait for ever
  std::size_t maxReplyBytes = kDefaultMaxReplyBytes;
};
void SetRequestLimits(const RequestLimits& limits);
RequestLimits CurrentRequestLimits();

// How requests use connections, for every request of the process from the next one on.
// Reuse on (the default): each thread keeps its connections open between requests and sends
// the next request on them; requests that change something go out on a new connection of
// their own, and only requests that read are sent once more when a kept connection turns out
// closed before any of their reply came. Reuse off: a new connection for every plain-HTTP
// request. `parallel` is the most requests that RunRequestsTogether has in flight at once;
// the module starts with 1 (one after the other), the programs ask for more.
struct ConnectionUse {
  bool reuse = true;
  int parallel = 1;
};
void SetConnectionUse(const ConnectionUse& use);
ConnectionUse CurrentConnectionUse();

// With reuse on, after a request of the calling thread: whether the server closed the
// connection at once (within `waitMilliseconds`) instead of keeping it for the next request.
bool ServerClosedKeptConnection(int waitMilliseconds);

// True for the server calls that only read (IPS_Get…, AC_Get…, …Exists, …IDByName).
bool IsReadOnlyMethod(const std::string& method);

// Runs task(0) … task(count - 1), each making its requests through MakeRPCRequest as usual,
// up to CurrentConnectionUse().parallel at a time, each on a kept connection of the calling
// thread's client (with reuse off, or parallel 1, one after the other on the calling thread).
// Tasks must only read from the server, touch nothing shared but their own results, and
// write nothing to the user. When tasks fail, no task after the first failed one is started,
// and the failure of the first in index order is raised once all have ended: what running
// them one after the other would raise.
void RunRequestsTogether(std::size_t count, const std::function<void(std::size_t)>& task);

// Gives the calling thread its own HTTP client; an error when it has one already.
void InitializeRPCForThread();

// Releases the calling thread's client (closing its connection); nothing when it has none.
void FinalizeRPCForThread();

// One JSON-RPC call: method is code-page text, params become the JSON array of the request.
// Returns the reply's "result" member, or no value when the reply has none. Failures raise
// velmar::Error; the server's own error message is passed on as UTF-8 text.
JsonRef MakeRPCRequest(const std::string& method, const RpcParams& params);

// The same with the parameters given as a JSON value (normally an array).
JsonRef MakeRPCRequestEx(const std::string& method, const JsonRef& params);

// Switching the service off must not wait for a slow or silent server: AbortAllTransfers()
// and ResumeTransfers() (api/transfer_abort.h) cut every request in flight short.

}  // namespace velmar::api
