#pragma once

// Internal to the api module: the API client of one session (or of a thread that is no
// session), with everything it keeps from one request to the next.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "api/http_client.h"
#include "api/json_rpc.h"
#include "api/rpc_settings.h"

namespace velmar::api {

class RpcClient {
 public:
  // One connection of the client, with the transport it last used.
  struct Lane {
    enum class Layer { None, Plain, Tls };
    HttpClient http;
    Layer layer = Layer::None;
  };

  RpcClient() = default;
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  // The first connection, which the owner's requests use.
  Lane& MainLane() { return main_; }
  // Further connections for requests in flight together: makes sure there are `count`
  // (made on the owner's thread before the helpers start), and the one at `index`.
  void PrepareExtraLanes(std::size_t count);
  Lane& ExtraLane(std::size_t index) { return *more_[index]; }

  // One call on `lane` with `settings`: the reply's "result" member, or no value.
  JsonRef Request(Lane& lane, const ServerSettings& settings, const std::string& method,
                  const JsonRef& params);

 private:
  Lane main_;
  std::vector<std::unique_ptr<Lane>> more_;
  // Set once a request has carried Basic credentials; from then on every request does.
  std::atomic<bool> sendsCredentials_{false};
};

}  // namespace velmar::api
