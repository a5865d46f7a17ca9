#include "api/rpc_settings.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "core/error.h"

namespace velmar::api {

namespace {

// What the program's main thread sets for every client of the process: the connection
// settings, the limits of a request and how requests use connections.
struct ProcessSettings {
  // The thread that ran the static initialisers is the program's main thread.
  const std::thread::id mainThread = std::this_thread::get_id();
  std::mutex mutex;  // guards `server`
  std::shared_ptr<const ServerSettings> server = std::make_shared<const ServerSettings>();
  std::atomic<std::int32_t> timeoutSeconds{kDefaultRequestTimeoutSeconds};
  std::atomic<std::size_t> maxReplyBytes{kDefaultMaxReplyBytes};
  std::atomic<bool> reuse{true};
  std::atomic<int> parallel{1};
};

ProcessSettings gProcess;

}  // namespace

std::shared_ptr<const ServerSettings> CurrentServerSettings() {
  std::lock_guard lock(gProcess.mutex);
  return gProcess.server;
}

void StoreServerSettings(ServerSettings settings) {
  auto snapshot = std::make_shared<const ServerSettings>(std::move(settings));
  std::lock_guard lock(gProcess.mutex);
  gProcess.server = std::move(snapshot);
}

void InitializeRPC(const std::string& host, std::int32_t port, bool useSSL,
                   const std::string& username, const std::string& password,
                   TlsVerification verification) {
  if (std::this_thread::get_id() != gProcess.mainThread)
    throw Error("Initialize RPC can only be called from main loop!");
  StoreServerSettings({.initialized = true,
                       .host = host,
                       .port = port,
                       .useSSL = useSSL,
                       .username = username,
                       .password = password,
                       .verification = verification});
}

void SetRequestLimits(const RequestLimits& limits) {
  gProcess.timeoutSeconds.store(limits.timeoutSeconds);
  gProcess.maxReplyBytes.store(limits.maxReplyBytes);
}

RequestLimits CurrentRequestLimits() {
  return {gProcess.timeoutSeconds.load(), gProcess.maxReplyBytes.load()};
}

void SetConnectionUse(const ConnectionUse& use) {
  gProcess.reuse.store(use.reuse);
  gProcess.parallel.store(std::max(1, use.parallel));
}

ConnectionUse CurrentConnectionUse() {
  return {gProcess.reuse.load(), gProcess.parallel.load()};
}

}  // namespace velmar::api
