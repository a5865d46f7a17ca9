#pragma once

#include <memory>
#include <string>

typedef void CURL;

namespace velmar::api {

// What a POST brought back: the final status, its status line as sent (without CR LF), and
// the body as raw bytes.
struct HttpReply {
  long status = 0;
  std::string statusLine;
  std::string body;
};

// One request as the transport wants it sent.
struct HttpPost {
  std::string url;
  std::string body;           // sent as it is, with Content-Type: application/json
  std::string authorization;  // the Authorization header value; empty: no header
  bool verifyPeer = true;     // TLS only: check the server certificate and host name
  // Open a new connection for this request even when the last one is still open; that one
  // is closed once this request is done with the new one.
  bool freshConnection = false;
};

// The HTTP client of one thread: owns one curl easy handle, and with it the connection that
// the last request left open. Not shared between threads; only the abort registry below
// touches its sockets from elsewhere.
class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sends the POST and collects the whole reply. Transport failures (resolution, connect,
  // broken connection, TLS) raise velmar::Error with curl's own message; an HTTP status is
  // not judged here. A transfer aborted by AbortAllTransfers() raises "Request aborted.".
  HttpReply Post(const HttpPost& request);

  // Closes the connection that the last request left open, if any. The next Post starts on a
  // fresh connection.
  void CloseConnection();

 private:
  struct Registration;
  void EnsureHandle();

  CURL* handle_ = nullptr;
  std::unique_ptr<Registration> registration_;
};

// Makes curl ready for use in this process; called once at program start, safe to call again
// and from any thread.
void GlobalInitHttp();

// Aborts every transfer in flight on any thread at once (their Post raises "Request aborted.")
// and makes every Post that starts later fail the same way until ResumeTransfers().
void AbortAllTransfers();
void ResumeTransfers();

}  // namespace velmar::api
