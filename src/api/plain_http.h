#pragma once

#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>

#include "api/http_message.h"
#include "api/transfer_abort.h"
#include "platform/socket_address.h"

namespace velmar::api {

// Where a plain-HTTP URL with a numeric host points.
struct PlainTarget {
  platform::SocketAddress address;  // the socket address to connect to
  std::string host;                 // the numeric address as written, without brackets
  std::string hostHeader;  // the Host header value: host as in the URL, and the port unless 80
  int port = 0;
  std::string path;
};

// The target of "http://<numeric address>:<port><path>"; nothing for any other URL (TLS, a
// host name that needs a lookup, a port out of range), which the general client handles.
std::optional<PlainTarget> PlainTargetOf(const std::string& url);

// The bytes of one POST as the client sends them.
std::string PlainRequestBytes(const PlainTarget& target, const HttpPost& request);

// Plain HTTP/1.1 over TCP: the lean path for the common case of a server on a numeric address
// without TLS. Without keep-alive every request has a connection of its own, and the connection
// of the last request stays open until the next request starts or Close() is called. With
// keep-alive (HttpPost::keepAlive) the next request goes out on that connection while the
// server holds it. AbortAllTransfers() cuts its waits short; the request's time limit ends
// them (see HttpPost).
class PlainHttpConnection {
 public:
  explicit PlainHttpConnection(SocketRegistration& sockets) : sockets_(sockets) {}
  ~PlainHttpConnection() { Close(); }
  PlainHttpConnection(const PlainHttpConnection&) = delete;
  PlainHttpConnection& operator=(const PlainHttpConnection&) = delete;

  // Sends the POST on a new connection and reads the whole reply. Failures raise velmar::Error
  // with a message naming what failed; an HTTP status is not judged here.
  HttpReply Post(const PlainTarget& target, const HttpPost& request);
  void Close();
  // The open connection's descriptor; -1 when none is open.
  int fd() const { return fd_; }

 private:
  using Clock = std::chrono::steady_clock;
  // When the request must be done by, and what to say when that moment has passed.
  struct Deadline {
    std::optional<Clock::time_point> at;
    std::int32_t seconds = 0;
    bool connectLimit = false;  // the limit of connecting, not of the whole request
    bool Passed() const { return at && Clock::now() >= *at; }
    int PollMilliseconds() const;  // what is left for poll(2): -1 for no limit
  };

  void Connect(const PlainTarget& target, const Deadline& deadline);
  void Send(const std::string& bytes, const Deadline& deadline);
  // `replyStarted` is set once the first byte of the reply has come. The body goes to the
  // request's sink, if it has one.
  HttpReply Receive(const Deadline& deadline, const HttpPost& request, bool& replyStarted);
  // The open connection goes to `target` and the server has neither closed it nor sent
  // anything unasked on it.
  bool StillOpenTo(const PlainTarget& target) const;

  SocketRegistration& sockets_;
  int fd_ = -1;
  std::string peer_;  // host and port of the open connection
};

}  // namespace velmar::api
