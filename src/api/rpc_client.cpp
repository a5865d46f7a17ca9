#include "api/rpc_client.h"

#include "api/rpc_request.h"

namespace velmar::api {

void RpcClient::PrepareExtraLanes(std::size_t count) {
  while (more_.size() < count) more_.push_back(std::make_unique<Lane>());
}

JsonRef RpcClient::Request(Lane& lane, const ServerSettings& settings, const std::string& method,
                           const JsonRef& params) {
  // Without reuse, with TLS off every request goes out on a new connection, and the one that
  // the previous request left open is closed; with TLS on the open connection is reused.
  const Lane::Layer layer = settings.useSSL ? Lane::Layer::Tls : Lane::Layer::Plain;
  if (lane.layer != layer && lane.layer != Lane::Layer::None) lane.http.CloseConnection();
  lane.layer = layer;

  ReplyParse parse;
  const HttpPost post = RpcPost(settings, method, params, sendsCredentials_, parse);
  const HttpReply reply = lane.http.Post(post);
  return RpcResult(reply, parse);
}

}  // namespace velmar::api
