#pragma once

// Internal to the api module: the connection settings of the process, as InitializeRPC stored
// them last. Every client reads them at each request.

#include <cstdint>
#include <memory>
#include <string>

#include "api/json_rpc.h"

namespace velmar::api {

struct ServerSettings {
  bool initialized = false;
  std::string host;  // code-page text, like the username and password
  std::int32_t port = 0;
  bool useSSL = false;
  std::string username;
  std::string password;
  TlsVerification verification = TlsVerification::Verify;
};

// The settings stored last. A request works on one snapshot of them: storing new settings
// swaps in a new snapshot, so a second "Connect" while sessions talk to the server never
// changes a text under a reader's feet.
std::shared_ptr<const ServerSettings> CurrentServerSettings();
void StoreServerSettings(ServerSettings settings);

}  // namespace velmar::api
