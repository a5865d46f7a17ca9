#include "support/hostile_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace velmar::testing {

namespace {

struct Peer {
  int fd = -1;
  std::string in;
  HostileReply::Kind streaming = HostileReply::Kind::Result;  // Result: still reading
  bool answered = false;
};

// The head and the Content-Length body of one request, once they are all there.
bool RequestComplete(const std::string& in, std::string& body) {
  const std::size_t headEnd = in.find("\r\n\r\n");
  if (headEnd == std::string::npos) return false;
  std::string head = in.substr(0, headEnd);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = head.find("\r\ncontent-length:");
  const std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
  if (in.size() < headEnd + 4 + length) return false;
  body = in.substr(headEnd + 4, length);
  return true;
}

// The method name and the parameter text of the request body the client writes
// ({"method":"…","params":[…],"id":1,"jsonrpc":"2.0"}).
void SplitCall(const std::string& body, std::string& method, std::string& params) {
  const std::string methodKey = "\"method\":\"";
  const std::size_t m = body.find(methodKey);
  if (m != std::string::npos) {
    const std::size_t start = m + methodKey.size();
    method = body.substr(start, body.find('"', start) - start);
  }
  const std::string paramsKey = "\"params\":";
  const std::size_t p = body.find(paramsKey);
  const std::size_t end = body.rfind(",\"id\":");
  if (p != std::string::npos && end != std::string::npos && end > p)
    params = body.substr(p + paramsKey.size(), end - p - paramsKey.size());
}

void SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

std::string ResultReply(const std::string& json) {
  const std::string body = "{\"jsonrpc\":\"2.0\",\"result\":" + json + ",\"id\":1}";
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Answers a complete request; false when the connection is done with.
bool Answer(Peer& peer, const HostileHandler& handler, const std::string& body) {
  std::string method, params;
  SplitCall(body, method, params);
  const HostileReply reply = handler(method, params);
  peer.answered = true;
  switch (reply.kind) {
    case HostileReply::Kind::Result:
      SendAll(peer.fd, ResultReply(reply.text));
      return false;
    case HostileReply::Kind::Raw:
      SendAll(peer.fd, reply.text);
      return false;
    case HostileReply::Kind::Silent:
      break;
    case HostileReply::Kind::EndlessContinue:
      break;
    case HostileReply::Kind::EndlessTrailers:
      SendAll(peer.fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n");
      break;
  }
  peer.streaming = reply.kind;
  return true;
}

// One more piece of an endless reply, as much as the socket takes without waiting.
bool Stream(Peer& peer) {
  std::string piece;
  if (peer.streaming == HostileReply::Kind::EndlessContinue) {
    for (int i = 0; i < 64; ++i) piece += "HTTP/1.1 100 Continue\r\n\r\n";
  } else if (peer.streaming == HostileReply::Kind::EndlessTrailers) {
    for (int i = 0; i < 64; ++i) piece += "X-Trailer: more\r\n";
  } else {
    return true;
  }
  const ssize_t n = ::send(peer.fd, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

[[noreturn]] void Serve(int listener, const HostileHandler& handler) {
  std::vector<Peer> peers;
  for (;;) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (const Peer& peer : peers) fds.push_back({peer.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 5) < 0 && errno != EINTR) ::_exit(1);

    std::vector<Peer> kept;
    for (std::size_t i = 0; i < peers.size(); ++i) {
      Peer& peer = peers[i];
      bool open = true;
      if (fds[i + 1].revents != 0) {
        char buffer[4096];
        const ssize_t n = ::recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          open = false;  // the client is gone
        } else if (n > 0 && !peer.answered) {
          peer.in.append(buffer, static_cast<std::size_t>(n));
          std::string body;
          if (RequestComplete(peer.in, body)) open = Answer(peer, handler, body);
        }
      }
      if (open && peer.answered) open = Stream(peer);
      if (open) {
        kept.push_back(std::move(peer));
      } else {
        ::close(peer.fd);
      }
    }
    peers = std::move(kept);

    if (fds[0].revents != 0) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        Peer peer;
        peer.fd = fd;
        peers.push_back(std::move(peer));
      }
    }
  }
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

HostileServer::HostileServer(HostileHandler handler) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("HostileServer: cannot listen on loopback");
  port_ = ntohs(address.sin_port);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("HostileServer: fork failed");
  if (pid_ == 0) {
    ::signal(SIGPIPE, SIG_IGN);
    Serve(listener, handler);
  }
  ::close(listener);
}

HostileServer::~HostileServer() {
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

}  // namespace velmar::testing
