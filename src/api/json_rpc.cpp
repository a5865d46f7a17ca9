#include "api/json_rpc.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "api/http_client.h"
#include "api/rpc_client.h"
#include "api/rpc_settings.h"
#include "api/transfer_abort.h"
#include "core/error.h"
#include "json/json.h"

namespace velmar::api {

namespace {

// Which client the calling thread's requests go through. The slot owns nothing but the client
// of InitializeRPCForThread; a session's client belongs to the session.
struct ThreadSlot {
  RpcClient* client = nullptr;
  // A helper thread of RunRequestsTogether works for another thread's client, on one lane of
  // it; nullptr: the client's first lane.
  RpcClient::Lane* lane = nullptr;
  bool borrowed = false;
  std::unique_ptr<RpcClient> owned;
};

thread_local ThreadSlot tSlot;

void BindThread(RpcClient* client) {
  if (tSlot.client != nullptr && !tSlot.borrowed)
    throw Error("Cannot Initialize RPC twice for one thread!");
  tSlot.client = client;
  tSlot.lane = nullptr;
  tSlot.borrowed = false;
}

}  // namespace

SessionClient::SessionClient() : client_(std::make_unique<RpcClient>()) {
  BindThread(client_.get());
}

SessionClient::~SessionClient() {
  // FinalizeRPCForThread may have released the thread from this client already.
  if (tSlot.client == client_.get()) tSlot.client = nullptr;
}

void InitializeRPCModule() {
  GlobalInitHttp();
  StartIdleConnectionCloser();
  ServerSettings settings = *CurrentServerSettings();
  settings.initialized = false;
  StoreServerSettings(std::move(settings));
  if (tSlot.client == nullptr || tSlot.borrowed) InitializeRPCForThread();
}

void FinalizeRPCModule() {
  FinalizeRPCForThread();
  ServerSettings settings = *CurrentServerSettings();
  settings.initialized = false;
  settings.host.clear();
  settings.username.clear();
  settings.password.clear();
  StoreServerSettings(std::move(settings));
}

void InitializeRPCForThread() {
  auto client = std::make_unique<RpcClient>();
  BindThread(client.get());
  tSlot.owned = std::move(client);
}

void FinalizeRPCForThread() {
  if (tSlot.borrowed) return;
  tSlot.client = nullptr;
  tSlot.owned.reset();
}

bool ServerClosedKeptConnection(int waitMilliseconds) {
  if (tSlot.client == nullptr || tSlot.borrowed || !CurrentConnectionUse().reuse) return false;
  return tSlot.client->MainLane().http.ConnectionClosedByServer(waitMilliseconds);
}

bool IsReadOnlyMethod(const std::string& method) {
  return method.starts_with("IPS_Get") || method.starts_with("AC_Get") ||
         method.ends_with("Exists") || method.ends_with("IDByName");
}

void RunRequestsTogether(std::size_t count, const std::function<void(std::size_t)>& task) {
  const ConnectionUse use = CurrentConnectionUse();
  RpcClient* client = tSlot.borrowed ? nullptr : tSlot.client;
  const std::size_t lanes = std::min<std::size_t>(use.reuse ? use.parallel : 1, count);
  if (client == nullptr || lanes <= 1) {
    for (std::size_t i = 0; i < count; ++i) task(i);
    return;
  }
  client->PrepareExtraLanes(lanes - 1);

  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> firstFailed{count};
  std::mutex failureMutex;
  std::exception_ptr failure;
  auto work = [&] {
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      // Nothing after a failed task starts: one after the other, it would not have run.
      if (i >= count || i > firstFailed.load()) return;
      try {
        task(i);
      } catch (...) {
        std::lock_guard lock(failureMutex);
        if (i < firstFailed.load()) {
          firstFailed.store(i);
          failure = std::current_exception();
        }
      }
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t k = 0; k + 1 < lanes; ++k) {
    RpcClient::Lane* lane = &client->ExtraLane(k);
    try {
      helpers.emplace_back([&work, client, lane] {
        tSlot.client = client;
        tSlot.lane = lane;
        tSlot.borrowed = true;
        work();
      });
    } catch (const std::system_error&) {
      break;  // no thread to be had: the lanes started do the work
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

JsonRef MakeRPCRequest(const std::string& method, const RpcParams& params) {
  return MakeRPCRequestEx(method, json::ArrayOf(params));
}

JsonRef MakeRPCRequestEx(const std::string& method, const JsonRef& params) {
  const std::shared_ptr<const ServerSettings> settings = CurrentServerSettings();
  if (!settings->initialized) throw Error("JSON-RPC is not initialized yet.");
  RpcClient* client = tSlot.client;
  if (client == nullptr) throw Error("JSON-RPC is not initialized for this thread yet.");
  RpcClient::Lane& lane = tSlot.lane != nullptr ? *tSlot.lane : client->MainLane();
  return client->Request(lane, *settings, method, params);
}

}  // namespace velmar::api
