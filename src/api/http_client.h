#pragma once

#include <memory>
#include <string>

#include "api/http_message.h"
#include "api/plain_http.h"
#include "api/transfer_abort.h"

typedef void CURL;
typedef void CURLSH;

namespace velmar::api {

// The HTTP client of one thread. Plain HTTP to a numeric address goes out on its own lean
// path; everything else (TLS, host names to look up) through a curl easy handle. The client
// owns the connection that the last request left open. Not shared between threads; only the
// abort registry touches its sockets from elsewhere.
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sends the POST and collects the whole reply. Transport failures (resolution, connect,
  // broken connection, TLS) raise velmar::Error with a message naming what failed; an HTTP
  // status is not judged here. A transfer aborted by AbortAllTransfers() raises
  // "Request aborted.".
  HttpReply Post(const HttpPost& request);

  // Closes the connection that the last request left open, if any. The next Post starts on a
  // fresh connection.
  void CloseConnection();

  // After a request: whether the server has closed the connection that the request left open
  // (or said it would), waiting up to `wait` for it to do so.
  bool ConnectionClosedByServer(int waitMilliseconds);

 private:
  HttpReply PostWithCurl(const HttpPost& request);
  void EnsureHandle();

  // Declared first so that it outlives both transports, whose sockets it tracks.
  std::unique_ptr<SocketRegistration> sockets_;
  PlainHttpConnection plain_;
  CURL* handle_ = nullptr;
  // The TLS sessions of the client's connections, kept across handles: a new connection
  // resumes the session instead of negotiating a new one.
  CURLSH* share_ = nullptr;
};

// Makes curl ready for use in this process; called once at program start, safe to call again
// and from any thread.
void GlobalInitHttp();

}  // namespace velmar::api
