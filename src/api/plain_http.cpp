#include "api/plain_http.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "api/http_reply_reader.h"
#include "core/error.h"

namespace velmar::api {

namespace {

std::string SystemText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

std::optional<PlainTarget> PlainTargetOf(const std::string& url) {
  std::string_view rest(url);
  if (!rest.starts_with("http://")) return std::nullopt;
  rest.remove_prefix(7);
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view authority = rest.substr(0, slash);

  PlainTarget target;
  target.path = rest.substr(slash);
  std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = authority.substr(0, colon);
  std::string_view port = authority.substr(colon + 1);
  if (port.empty() ||
      std::from_chars(port.data(), port.data() + port.size(), target.port).ptr !=
          port.data() + port.size() ||
      target.port < 1 || target.port > 65535)
    return std::nullopt;

  // In a URL an IPv6 address stands in brackets and an IPv4 address does not.
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  const auto address = platform::ParseNumericAddress(host, static_cast<std::uint16_t>(target.port));
  if (!address || (address->family() == AF_INET6) != bracketed) return std::nullopt;
  target.address = *address;
  target.host = bracketed ? host.substr(1, host.size() - 2) : host;
  target.hostHeader = std::string(host);
  if (target.port != 80) target.hostHeader += ":" + std::to_string(target.port);
  return target;
}

std::string PlainRequestBytes(const PlainTarget& target, const HttpPost& request) {
  std::string bytes;
  bytes.reserve(256 + request.body.size());
  bytes += "POST ";
  bytes += target.path;
  bytes += " HTTP/1.1\r\nHost: ";
  bytes += target.hostHeader;
  bytes +=
      "\r\nUser-Agent: Velmar\r\nAccept: */*\r\nContent-Type: application/json\r\n"
      "Connection: keep-alive\r\n";
  if (!request.authorization.empty()) {
    bytes += "Authorization: ";
    bytes += request.authorization;
    bytes += "\r\n";
  }
  bytes += "Content-Length: ";
  bytes += std::to_string(request.body.size());
  bytes += "\r\n\r\n";
  bytes += request.body;
  return bytes;
}

int PlainHttpConnection::Deadline::PollMilliseconds() const {
  if (!at) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

void PlainHttpConnection::Close() {
  if (fd_ >= 0) sockets_.Close(fd_);
  fd_ = -1;
}

bool PlainHttpConnection::StillOpenTo(const PlainTarget& target) const {
  if (fd_ < 0 || peer_ != target.hostHeader) return false;
  // Readable between requests means closed by the server (or bytes nobody asked for).
  pollfd ready{fd_, POLLIN, 0};
  return ::poll(&ready, 1, 0) == 0;
}

HttpReply PlainHttpConnection::Post(const PlainTarget& target, const HttpPost& request) {
  // Without keep-alive every request has a connection of its own, and the previous one is
  // done with now; with it the open connection is used while the server still holds it.
  bool reused = request.keepAlive && !request.freshConnection && StillOpenTo(target);
  if (!reused) Close();
  const Clock::time_point start = Clock::now();
  Deadline whole;
  if (request.timeoutSeconds > 0) {
    whole.at = start + std::chrono::seconds(request.timeoutSeconds);
    whole.seconds = request.timeoutSeconds;
  }
  Deadline connecting = whole;
  const Clock::time_point connectEnd = start + std::chrono::seconds(kConnectTimeoutSeconds);
  if (!connecting.at || connectEnd < *connecting.at) {
    connecting.at = connectEnd;
    connecting.seconds = kConnectTimeoutSeconds;
    connecting.connectLimit = true;
  }
  for (;;) {
    bool replyStarted = false;
    try {
      if (fd_ < 0) Connect(target, connecting);
      peer_ = target.hostHeader;
      Send(PlainRequestBytes(target, request), whole);
      HttpReply reply = Receive(whole, request, replyStarted);
      if (request.keepAlive && reply.connectionEnds) Close();
      return reply;
    } catch (const Error&) {
      Close();
      if (TransfersAborted()) throw Error(kAbortedMessage);
      // The server may close a kept connection just as a request goes out. A request that
      // only reads and has no byte of its reply yet is sent once more on a new connection;
      // any other may have reached the server and is not sent twice.
      if (!reused || !request.retryable || replyStarted) throw;
      reused = false;
    }
  }
}

void PlainHttpConnection::Connect(const PlainTarget& target, const Deadline& deadline) {
  fd_ = sockets_.Open(target.address.family(), SOCK_STREAM, 0);
  if (fd_ < 0) {
    if (errno == ECANCELED) throw Error(kAbortedMessage);
    throw Error("Cannot open a connection to the server: " + SystemText(errno));
  }
  // The socket blocks: a request is connect, one send and a few receives, with no poll in
  // between. An abort shuts the socket down, which wakes a blocked connect, send or receive at
  // once. Only an abort that lands between opening the socket and connecting finds nothing to
  // wake yet; the send time-out, which also bounds each wait of a blocking connect, makes such
  // a connect look at the abort flag again within a quarter of a second.
  timeval slice{0, 250 * 1000};
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
  // A request goes out in one send; on a kept connection Nagle's algorithm would hold it
  // back until the server acknowledged the previous one.
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  int error = 0;
  while (::connect(fd_, target.address.get(), target.address.length) != 0) {
    error = errno;
    if (TransfersAborted()) throw Error(kAbortedMessage);
    if (error == EISCONN) {  // completed while a signal interrupted the wait
      error = 0;
      break;
    }
    // The time slice ran out (EINPROGRESS, then EALREADY) or a signal came: wait on, unless
    // the time for connecting is up.
    if (error != EINPROGRESS && error != EALREADY && error != EINTR) break;
    if (deadline.Passed()) {
      if (!deadline.connectLimit) throw Error(NoAnswerMessage(deadline.seconds));
      throw Error("Failed to connect to " + target.host + " port " + std::to_string(target.port) +
                  ": no answer within " + std::to_string(kConnectTimeoutSeconds) + " seconds.");
    }
    error = 0;
  }
  if (error != 0)
    throw Error("Failed to connect to " + target.host + " port " + std::to_string(target.port) +
                ": " + SystemText(error));
}

void PlainHttpConnection::Send(const std::string& bytes, const Deadline& deadline) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t count = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count >= 0) {
      sent += static_cast<std::size_t>(count);
    } else if (TransfersAborted()) {
      throw Error(kAbortedMessage);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      throw Error("Sending the request to the server failed: " + SystemText(errno));
    } else if (deadline.Passed()) {
      throw Error(NoAnswerMessage(deadline.seconds));
    }
  }
}

HttpReply PlainHttpConnection::Receive(const Deadline& deadline, const HttpPost& request,
                                       bool& replyStarted) {
  HttpReplyReader reader(request.maxReplyBytes, request.bodySink);
  char buffer[16 * 1024];
  for (;;) {
    if (deadline.Passed()) throw Error(NoAnswerMessage(deadline.seconds));
    // However the server delays (silence, endless interim replies or trailers, a trickle of
    // bytes), the reply must be complete by the deadline. An abort shuts the socket down,
    // which ends this wait too.
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, deadline.PollMilliseconds());
    if (polled == 0) throw Error(NoAnswerMessage(deadline.seconds));
    if (polled < 0) {
      if (errno == EINTR) continue;
      throw Error("Receiving the reply from the server failed: " + SystemText(errno));
    }
    ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
    if (count > 0) {
      replyStarted = true;
      if (reader.Feed(std::string_view(buffer, static_cast<std::size_t>(count))))
        return std::move(reader.reply());
    } else if (count == 0) {
      // An abort shuts the socket down, which reads like the end of a reply that runs to the
      // end of the connection: it must not pass for a whole reply.
      if (TransfersAborted()) throw Error(kAbortedMessage);
      reader.FinishAtEnd();
      return std::move(reader.reply());
    } else if (errno != EINTR) {
      throw Error("Receiving the reply from the server failed: " + SystemText(errno));
    }
  }
}

}  // namespace velmar::api
