#include "sim/http_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/connection_stream.h"

namespace velmar::sim {

HttpServer::HttpServer(const std::atomic<bool>& stopping, int stopFd)
    : stopping_(stopping), stopFd_(stopFd) {
  keep_alive_max_count_ = 100000;
}

void HttpServer::widenBacklog() {
  ::listen(svr_sock_, SOMAXCONN);
}

void HttpServer::stopListening() {
  // As httplib's stop() does, without its wait for the loop to run: a loop that starts later
  // finds no socket and ends at once.
  const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
  if (sock == INVALID_SOCKET) return;
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

void HttpServer::endConnection(const httplib::Request& request, ConnectionEnd end) {
  std::lock_guard lock(mutex_);
  auto it = ends_.find({request.remote_addr, request.remote_port});
  if (it != ends_.end()) it->second->store(end);
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  // Each reply leaves in one send; Nagle's algorithm could only hold it back behind the
  // client's delayed acknowledgement of the previous one.
  int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  Peer peer;
  SocketAddress(sock, &getpeername, peer.first, peer.second);
  std::atomic<ConnectionEnd> planned{ConnectionEnd::Keep};
  {
    std::lock_guard lock(mutex_);
    ends_.insert_or_assign(peer, &planned);
  }
  const ConnectionEnd end = serve(sock, planned);
  {
    std::lock_guard lock(mutex_);
    ends_.erase(peer);
  }
  if (end == ConnectionEnd::DropMidHeader) {
    static const char partial[] = "HTTP/1.1 200 OK\r\nContent-Type: appli";
    ::send(sock, partial, sizeof partial - 1, MSG_NOSIGNAL);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return true;
}

ConnectionEnd HttpServer::serve(int sock, const std::atomic<ConnectionEnd>& planned) {
  ConnectionStream stream(sock, stopping_, stopFd_);
  const std::size_t limit = repliesPerConnection ? repliesPerConnection->load() : 0;
  std::size_t served = 0;
  for (size_t remaining = keep_alive_max_count_; remaining > 0 && !stopping_; --remaining) {
    if (!stream.hasBuffered() &&
        !stream.waitFor(POLLIN, static_cast<int>(keep_alive_timeout_sec_ * 1000)))
      break;
    bool closed = false;
    const bool ok =
        process_request(stream, remaining == 1 || stopping_, closed, [](httplib::Request&) {});
    if (const ConnectionEnd end = planned.load(); end != ConnectionEnd::Keep) {
      stream.discard();  // the reply that httplib wrote never goes out
      return end;
    }
    if (!stream.flush() || !ok || closed) break;
    if (limit != 0 && ++served >= limit) break;
  }
  return ConnectionEnd::Keep;
}

}  // namespace velmar::sim
