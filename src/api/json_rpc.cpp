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
#include "core/error.h"
#include "json/json.h"
#include "text/encoding.h"

namespace velmar::api {

namespace {

// The thread that ran the static initialisers is the program's main thread.
const std::thread::id gMainThread = std::this_thread::get_id();

// The connection settings: written by InitializeRPC on the main thread and read by every
// thread that makes a request. A request works on one snapshot of them; storing new settings
// swaps in a new snapshot under the lock, so a second "Connect" while connection threads are
// talking to the server never changes a text under a reader's feet.
struct Settings {
  bool initialized = false;
  std::string host;
  std::int32_t port = 0;
  bool useSSL = false;
  std::string username;
  std::string password;
  TlsVerification verification = TlsVerification::Verify;
};
std::mutex gSettingsMutex;
std::shared_ptr<const Settings> gSettings = std::make_shared<const Settings>();

std::shared_ptr<const Settings> CurrentSettings() {
  std::lock_guard lock(gSettingsMutex);
  return gSettings;
}

void StoreSettings(Settings settings) {
  auto snapshot = std::make_shared<const Settings>(std::move(settings));
  std::lock_guard lock(gSettingsMutex);
  gSettings = std::move(snapshot);
}

std::atomic<std::int32_t> gRequestTimeoutSeconds{kDefaultRequestTimeoutSeconds};
std::atomic<std::size_t> gMaxReplyBytes{kDefaultMaxReplyBytes};

std::atomic<bool> gReuse{true};
std::atomic<int> gParallel{1};

// One connection of a thread's client, with the transport it last used.
struct Lane {
  enum class Layer { None, Plain, Tls };
  HttpClient http;
  Layer layer = Layer::None;
};

// What a thread's client keeps from one request to the next: its first connection, and the
// further ones that requests in flight together need (made when first needed).
struct ThreadClient {
  Lane main;
  std::vector<std::unique_ptr<Lane>> more;
  // Set once a request has carried Basic credentials; from then on every request does.
  std::atomic<bool> hasAuthState{false};
};

thread_local std::unique_ptr<ThreadClient> tClient;
// A helper thread of RunRequestsTogether works for another thread's client, on one lane of it.
thread_local ThreadClient* tBorrowedClient = nullptr;
thread_local Lane* tLane = nullptr;

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                 static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[n >> 18];
    out += kDigits[(n >> 12) & 63];
    out += kDigits[(n >> 6) & 63];
    out += kDigits[n & 63];
  }
  if (i < bytes.size()) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kDigits[n >> 18];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Basic credentials go out as ASCII: every character outside it becomes "?".
std::string BasicAuthorization(const std::string& username, const std::string& password) {
  std::string pair = text::UnicodeToAscii(text::CodePageToUnicode(username)) + ":" +
                     text::UnicodeToAscii(text::CodePageToUnicode(password));
  return "Basic " + Base64(pair);
}

// The host goes into the URL as it was typed. Characters that would change the URL's meaning
// (a path, user info, a query) are refused rather than sending the request elsewhere; an IPv6
// address gets the brackets a URL needs.
std::string UrlHost(const std::string& host) {
  if (host.empty()) throw Error("No server host name given.");
  for (unsigned char c : host) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == ':' || c == '[' || c == ']' || c == '%';
    if (!allowed) throw Error("Invalid server host name: \"" + host + "\"");
  }
  if (host.find(':') != std::string::npos && !host.starts_with('[')) return "[" + host + "]";
  return host;
}

// Reads a successful reply's body as JSON while it arrives, so that the body is never held
// beside the values read from it; the bodies of other replies are only counted.
class ReplyParse final : public HttpBodySink {
 public:
  void Take(long status, std::string_view bytes) noexcept override {
    bytes_ += bytes.size();
    if (status >= 200 && status < 300) reader_.Feed(bytes);
  }
  std::size_t bytes() const { return bytes_; }
  JsonRef Finish() { return reader_.Finish(); }

 private:
  // The reply is read one character per byte; the object records repair UTF-8 text later.
  json::JsonStreamReader reader_;
  std::size_t bytes_ = 0;
};

std::string RequestUrl(const Settings& settings) {
  return std::string(settings.useSSL ? "https://" : "http://") + UrlHost(settings.host) + ":" +
         std::to_string(settings.port) + "/api/";
}

}  // namespace

void InitializeRPCModule() {
  GlobalInitHttp();
  StartIdleConnectionCloser();
  Settings settings = *CurrentSettings();
  settings.initialized = false;
  StoreSettings(std::move(settings));
  if (!tClient) InitializeRPCForThread();
}

void FinalizeRPCModule() {
  FinalizeRPCForThread();
  Settings settings = *CurrentSettings();
  settings.initialized = false;
  settings.host.clear();
  settings.username.clear();
  settings.password.clear();
  StoreSettings(std::move(settings));
}

void InitializeRPC(const std::string& host, std::int32_t port, bool useSSL,
                   const std::string& username, const std::string& password,
                   TlsVerification verification) {
  if (std::this_thread::get_id() != gMainThread)
    throw Error("Initialize RPC can only be called from main loop!");
  StoreSettings({.initialized = true,
                 .host = host,
                 .port = port,
                 .useSSL = useSSL,
                 .username = username,
                 .password = password,
                 .verification = verification});
}

void SetRequestLimits(const RequestLimits& limits) {
  gRequestTimeoutSeconds.store(limits.timeoutSeconds);
  gMaxReplyBytes.store(limits.maxReplyBytes);
}

RequestLimits CurrentRequestLimits() {
  return {gRequestTimeoutSeconds.load(), gMaxReplyBytes.load()};
}

void SetConnectionUse(const ConnectionUse& use) {
  gReuse.store(use.reuse);
  gParallel.store(std::max(1, use.parallel));
}

ConnectionUse CurrentConnectionUse() {
  return {gReuse.load(), gParallel.load()};
}

bool ServerClosedKeptConnection(int waitMilliseconds) {
  if (!tClient || !gReuse.load()) return false;
  return tClient->main.http.ConnectionClosedByServer(waitMilliseconds);
}

bool IsReadOnlyMethod(const std::string& method) {
  return method.starts_with("IPS_Get") || method.starts_with("AC_Get") ||
         method.ends_with("Exists") || method.ends_with("IDByName");
}

void RunRequestsTogether(std::size_t count, const std::function<void(std::size_t)>& task) {
  const ConnectionUse use = CurrentConnectionUse();
  ThreadClient* client = tClient.get();
  const std::size_t lanes = std::min<std::size_t>(use.reuse ? use.parallel : 1, count);
  if (client == nullptr || tBorrowedClient != nullptr || lanes <= 1) {
    for (std::size_t i = 0; i < count; ++i) task(i);
    return;
  }
  while (client->more.size() < lanes - 1) client->more.push_back(std::make_unique<Lane>());

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
    Lane* lane = client->more[k].get();
    try {
      helpers.emplace_back([&work, client, lane] {
        tBorrowedClient = client;
        tLane = lane;
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

void InitializeRPCForThread() {
  if (tClient) throw Error("Cannot Initialize RPC twice for one thread!");
  tClient = std::make_unique<ThreadClient>();
}

void FinalizeRPCForThread() {
  tClient.reset();
}

JsonRef MakeRPCRequest(const std::string& method, const RpcParams& params) {
  return MakeRPCRequestEx(method, json::ArrayOf(params));
}

JsonRef MakeRPCRequestEx(const std::string& method, const JsonRef& params) {
  const std::shared_ptr<const Settings> snapshot = CurrentSettings();
  const Settings& settings = *snapshot;
  if (!settings.initialized) throw Error("JSON-RPC is not initialized yet.");
  ThreadClient* owner = tClient ? tClient.get() : tBorrowedClient;
  if (owner == nullptr) throw Error("JSON-RPC is not initialized for this thread yet.");
  ThreadClient& client = *owner;
  Lane& lane = tLane != nullptr ? *tLane : client.main;
  const bool reuse = gReuse.load();
  const bool readOnly = IsReadOnlyMethod(method);

  // Without reuse, with TLS off every request goes out on a new connection, and the one that
  // the previous request left open is closed; with TLS on the open connection is reused.
  Lane::Layer layer = settings.useSSL ? Lane::Layer::Tls : Lane::Layer::Plain;
  if (lane.layer != layer && lane.layer != Lane::Layer::None) lane.http.CloseConnection();
  lane.layer = layer;

  // The request object {"jsonrpc":"2.0","method":…,"params":…,"id":1} as the writer puts it
  // out with escaping on: members in the writer's fixed order, every character outside ASCII
  // as a \u escape. Written in place, as the writer would, without building the object first.
  std::u16string requestText = u"{\"method\":";
  requestText += JsonRef::MakeString(text::CodePageToUnicode(method)).AsJson(true);
  requestText += u",\"params\":";
  requestText += params ? params.AsJson(true) : u"null";
  requestText += u",\"id\":1,\"jsonrpc\":\"2.0\"}";

  HttpPost post;
  post.url = RequestUrl(settings);
  if (client.hasAuthState.load() || (!settings.username.empty() && !settings.password.empty())) {
    post.authorization = BasicAuthorization(settings.username, settings.password);
    client.hasAuthState.store(true);
  }
  // Fully escaped JSON is plain ASCII, so its code-page bytes are its characters.
  post.body = text::UnicodeToCodePage(requestText);
  post.verifyPeer = settings.verification == TlsVerification::Verify;
  // With reuse, a request that changes something never goes out on a connection that the
  // server may be closing at that moment: nobody could tell whether it arrived.
  post.freshConnection = reuse ? !readOnly : !settings.useSSL;
  post.keepAlive = reuse;
  post.retryable = reuse && readOnly;
  post.timeoutSeconds = gRequestTimeoutSeconds.load();
  post.maxReplyBytes = gMaxReplyBytes.load();
  ReplyParse parse;
  post.bodySink = &parse;

  const HttpReply reply = lane.http.Post(post);

  if (reply.status >= 400)
    throw Error(reply.statusLine.empty() ? "HTTP error " + std::to_string(reply.status)
                                         : reply.statusLine);
  if (reply.status >= 300 && reply.status < 400)
    throw Error("The server answered with a redirect, which is not followed: " + reply.statusLine);
  if (reply.status < 200 || reply.status >= 300)
    throw Error("Unexpected HTTP status from the server: " + reply.statusLine);
  if (parse.bytes() == 0) throw Error("The server sent an empty reply.");

  JsonRef parsed = parse.Finish();
  if (!parsed || parsed.DataType() != json::JsonType::stObject)
    throw Error("The server's reply is not a JSON-RPC object.");

  if (JsonRef error = parsed.Get(u"error")) {
    JsonRef message = error.Get(u"message");
    if (!message) throw Error("The server reported an error without a message.");
    // Like every text in the reply, the message arrived one character per byte.
    throw Error(text::Utf16ToUtf8(text::Utf8Repair(message.AsString())));
  }
  return parsed.Get(u"result");
}

}  // namespace velmar::api
