#include "api/http_client.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "core/error.h"

namespace velmar::api {

namespace {

std::once_flag gCurlInitOnce;

// Where curl puts the body of one transfer, and the limit it must stay under.
struct BodyTarget {
  CURL* handle;
  HttpReply* reply;
  HttpBodySink* sink;  // nullptr: into reply->body
  std::size_t maxBytes;
  std::size_t bytes = 0;
  bool tooLarge = false;
};

size_t CollectBody(char* data, size_t size, size_t count, void* userdata) {
  auto& target = *static_cast<BodyTarget*>(userdata);
  const std::size_t bytes = size * count;
  if (target.bytes + bytes > target.maxBytes) {
    target.tooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  if (target.sink != nullptr) {
    long status = 0;
    curl_easy_getinfo(target.handle, CURLINFO_RESPONSE_CODE, &status);
    target.sink->Take(status, std::string_view(data, bytes));
  } else {
    std::string& body = target.reply->body;
    if (body.empty()) {
      // A body of known size gets its room at once rather than doubling its way up.
      curl_off_t length = -1;
      if (curl_easy_getinfo(target.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
              CURLE_OK &&
          length > 0 && static_cast<std::size_t>(length) <= target.maxBytes)
        body.reserve(static_cast<std::size_t>(length));
    }
    body.append(data, bytes);
  }
  target.bytes += bytes;
  return bytes;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* userdata) {
  std::string_view line(data, size * count);
  // Every response (a redirect or an interim one included) begins with its status line; keep
  // the last one, which belongs to the final response.
  if (line.starts_with("HTTP/")) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    static_cast<HttpReply*>(userdata)->statusLine.assign(line);
  }
  return size * count;
}

int CheckAbort(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return TransfersAborted() ? 1 : 0;
}

// curl opens and closes its sockets through the client's registration, so that an abort can
// reach them.
curl_socket_t OpenSocket(void* sockets, curlsocktype, curl_sockaddr* address) {
  int fd = static_cast<SocketRegistration*>(sockets)->Open(address->family, address->socktype,
                                                           address->protocol);
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

int CloseSocket(void* sockets, curl_socket_t fd) {
  return static_cast<SocketRegistration*>(sockets)->Close(fd);
}

}  // namespace

void GlobalInitHttp() {
  std::call_once(gCurlInitOnce, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw Error("The HTTP library could not be initialised.");
  });
}

HttpClient::HttpClient() : sockets_(std::make_unique<SocketRegistration>()), plain_(*sockets_) {
  GlobalInitHttp();
}

HttpClient::~HttpClient() {
  CloseConnection();
  if (share_ != nullptr) curl_share_cleanup(share_);
}

void HttpClient::CloseConnection() {
  plain_.Close();
  // Cleaning the easy handle up closes the connection in its cache; a new handle has none.
  if (handle_ != nullptr) {
    curl_easy_cleanup(handle_);
    handle_ = nullptr;
  }
}

bool HttpClient::ConnectionClosedByServer(int waitMilliseconds) {
  int fd = plain_.fd();
  curl_socket_t curlSocket = CURL_SOCKET_BAD;
  if (fd < 0 && handle_ != nullptr &&
      curl_easy_getinfo(handle_, CURLINFO_ACTIVESOCKET, &curlSocket) == CURLE_OK)
    fd = curlSocket;
  if (fd < 0) return true;
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, waitMilliseconds) != 0;
}

void HttpClient::EnsureHandle() {
  if (handle_ != nullptr) return;
  if (share_ == nullptr) {
    share_ = curl_share_init();
    if (share_ == nullptr) throw Error("The HTTP client could not be created.");
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw Error("The HTTP client could not be created.");
  curl_easy_setopt(handle_, CURLOPT_SHARE, share_);
  curl_easy_setopt(handle_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 0L);
  // One connection at a time: a fresh connection pushes the previous one out of the cache.
  curl_easy_setopt(handle_, CURLOPT_MAXCONNECTS, 1L);
  // A connection unused this long is not tried again (the idle closer has ended it anyway).
  curl_easy_setopt(handle_, CURLOPT_MAXAGE_CONN, 30L);
  // The server is addressed directly, whatever proxy the environment names.
  curl_easy_setopt(handle_, CURLOPT_PROXY, "");
  curl_easy_setopt(handle_, CURLOPT_USERAGENT, "Velmar");
  curl_easy_setopt(handle_, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
  curl_easy_setopt(handle_, CURLOPT_OPENSOCKETDATA, sockets_.get());
  curl_easy_setopt(handle_, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocket);
  curl_easy_setopt(handle_, CURLOPT_CLOSESOCKETDATA, sockets_.get());
  curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &CheckAbort);
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &CollectBody);
  curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &CollectHeader);
}

namespace {

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void Add(const std::string& header) {
    curl_slist* grown = curl_slist_append(list, header.c_str());
    if (grown == nullptr) throw Error("Out of memory while building an HTTP request.");
    list = grown;
  }
};

}  // namespace

HttpReply HttpClient::Post(const HttpPost& request) {
  if (TransfersAborted()) throw Error(kAbortedMessage);
  // Connections left idle too long have been shut down meanwhile: start afresh.
  if (!sockets_->BeginUse()) CloseConnection();
  struct EndUse {
    SocketRegistration& sockets;
    ~EndUse() { sockets.EndUse(); }
  } endUse{*sockets_};
  if (std::optional<PlainTarget> target = PlainTargetOf(request.url)) {
    // A connection that curl holds open would otherwise stay until the client ends.
    if (handle_ != nullptr) CloseConnection();
    return plain_.Post(*target, request);
  }
  plain_.Close();
  return PostWithCurl(request);
}

HttpReply HttpClient::PostWithCurl(const HttpPost& request) {
  // A request that wants a connection of its own with keep-alive on: the kept one is closed
  // first, so that a server serving one connection at a time is not left waiting on it.
  if (request.keepAlive && request.freshConnection) CloseConnection();
  EnsureHandle();

  HeaderList headers;
  headers.Add("Content-Type: application/json");
  headers.Add("Connection: keep-alive");
  // curl would otherwise ask for 100-continue on large bodies and wait for the server.
  headers.Add("Expect:");
  if (!request.authorization.empty()) headers.Add("Authorization: " + request.authorization);

  HttpReply reply;
  BodyTarget target{handle_, &reply, request.bodySink, request.maxReplyBytes};
  char errorText[CURL_ERROR_SIZE] = {};
  // Connecting gives up after the connect limit; the whole transfer, interim replies and
  // trailers included, after the request's limit (0: none).
  const long connectSeconds = request.timeoutSeconds > 0
                                  ? std::min(request.timeoutSeconds, kConnectTimeoutSeconds)
                                  : kConnectTimeoutSeconds;
  curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, connectSeconds);
  curl_easy_setopt(handle_, CURLOPT_TIMEOUT, static_cast<long>(request.timeoutSeconds));
  curl_easy_setopt(handle_, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle_, CURLOPT_POST, 1L);
  curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(handle_, CURLOPT_FRESH_CONNECT, request.freshConnection ? 1L : 0L);
  curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, request.verifyPeer ? 1L : 0L);
  curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, request.verifyPeer ? 2L : 0L);
  curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorText);

  CURLcode result = curl_easy_perform(handle_);
  // The handle must not keep pointers into this frame.
  curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, nullptr);

  // An abort shuts the socket down, which curl may read as the end of a reply that runs to the
  // end of the connection; whatever curl made of it, the reply is not to be trusted.
  if (TransfersAborted()) {
    CloseConnection();
    throw Error(kAbortedMessage);
  }
  if (target.tooLarge) {
    CloseConnection();
    throw Error(ReplyTooLargeMessage(request.maxReplyBytes));
  }
  if (result == CURLE_OPERATION_TIMEDOUT && request.timeoutSeconds > 0) {
    // The request's own limit ran out, after connecting or while connecting took all of it. A
    // connect that ran into the connect limit keeps curl's message, which says so.
    curl_off_t connected = 0;
    curl_easy_getinfo(handle_, CURLINFO_CONNECT_TIME_T, &connected);
    CloseConnection();
    if (connected > 0 || request.timeoutSeconds <= kConnectTimeoutSeconds)
      throw Error(NoAnswerMessage(request.timeoutSeconds));
  }
  if (result != CURLE_OK) {
    std::string message = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
    throw Error(message);
  }
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

}  // namespace velmar::api
