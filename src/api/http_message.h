#pragma once

#include <string>

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
  // Open a new connection for this request even when the last one is still open, and close
  // that one. Plain HTTP to a numeric address always does.
  bool freshConnection = false;
};

}  // namespace velmar::api
