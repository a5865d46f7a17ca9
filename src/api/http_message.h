#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmar::api {

// What a POST brought back: the final status, its status line as sent (without CR LF), and
// the body as raw bytes.
struct HttpReply {
  long status = 0;
  std::string statusLine;
  std::string body;
  // The connection cannot carry another request: the server said "Connection: close", spoke
  // HTTP/1.0 without keep-alive, or ended the body by closing.
  bool connectionEnds = false;
};

// A reply body far beyond any real one (a list of 50000 object IDs is about 0.3 MB) fails:
// a broken server must not make a session hold gigabytes.
inline constexpr std::size_t kMebibyte = 1024 * 1024;
inline constexpr std::size_t kDefaultMaxReplyBytes = 32 * kMebibyte;

inline constexpr std::int32_t kConnectTimeoutSeconds = 10;

// What a request that ran out of time raises.
inline std::string NoAnswerMessage(std::int32_t seconds) {
  return "The server did not answer within " + std::to_string(seconds) +
         (seconds == 1 ? " second." : " seconds.");
}

// What a reply over the size limit raises.
inline std::string ReplyTooLargeMessage(std::size_t maxBytes) {
  if (maxBytes % kMebibyte == 0)
    return "The server's reply is larger than " + std::to_string(maxBytes / kMebibyte) + " MiB.";
  return "The server's reply is larger than " + std::to_string(maxBytes) + " bytes.";
}

// Takes the body of the final reply as it arrives, in place of HttpReply::body, so that a
// large reply is never held whole. A request that is sent once more (see HttpPost::retryable)
// is only sent again before any byte of its reply came.
class HttpBodySink {
 public:
  virtual ~HttpBodySink() = default;
  // The next bytes of the body of a reply with this status.
  virtual void Take(long status, std::string_view bytes) noexcept = 0;
};

// One request as the transport wants it sent.
struct HttpPost {
  std::string url;
  std::string body;           // sent as it is, with Content-Type: application/json
  std::string authorization;  // the Authorization header value; empty: no header
  bool verifyPeer = true;     // TLS only: check the server certificate and host name
  // Open a new connection for this request even when the last one is still open, and close
  // that one. Plain HTTP to a numeric address always does.
  bool freshConnection = false;
  // The whole reply must have arrived this many seconds after the request started; 0 waits
  // for ever. Connecting gives up after kConnectTimeoutSeconds (or this time, if shorter).
  std::int32_t timeoutSeconds = 0;
  // A reply body larger than this fails the request.
  std::size_t maxReplyBytes = kDefaultMaxReplyBytes;
  // Keep the connection open for the next request and send this one on the connection that
  // the last request left open, when the server still holds it (plain path; curl keeps its
  // connections by itself unless freshConnection is set).
  bool keepAlive = false;
  // The request only reads: on a kept connection that turns out to be gone before any byte
  // of the reply came, it may be sent once more on a new connection.
  bool retryable = false;
  // Where the reply's body goes; nullptr: into HttpReply::body.
  HttpBodySink* bodySink = nullptr;
};

}  // namespace velmar::api
