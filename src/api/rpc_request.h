#pragma once

// Internal to the api module: one JSON-RPC call as an HTTP POST, and its reply as the call's
// result.

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "api/http_message.h"
#include "api/json_rpc.h"
#include "api/rpc_settings.h"
#include "json/reader.h"

namespace velmar::api {

// Reads a successful reply's body as JSON while it arrives, so that the body is never held
// beside the values read from it; the bodies of other replies are only counted.
class ReplyParse final : public HttpBodySink {
 public:
  void Take(long status, std::string_view bytes) noexcept override;
  std::size_t bytes() const { return bytes_; }
  JsonRef Finish() { return reader_.Finish(); }

 private:
  // The reply is read one character per byte; the object records repair UTF-8 text later.
  json::JsonStreamReader reader_;
  std::size_t bytes_ = 0;
};

// The POST of `method` (code-page text) with `params` under `settings`: URL, body and
// credentials, and how the request uses connections. `sendCredentials` is whether the
// client has sent credentials before (then it always does); it is set when the POST carries
// them. The reply's body goes to `parse`.
HttpPost RpcPost(const ServerSettings& settings, const std::string& method, const JsonRef& params,
                 std::atomic<bool>& sendCredentials, ReplyParse& parse);

// The call's result from the reply: the "result" member, or no value. Raises velmar::Error
// for an HTTP status other than success, an empty or malformed reply and the server's error.
JsonRef RpcResult(const HttpReply& reply, ReplyParse& parse);

}  // namespace velmar::api
