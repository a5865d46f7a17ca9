// The simulated server's HTTP transport: httplib's server with a connection loop of our own.
//
// httplib 0.11 (Debian 12) has no public way to take over the loop that serves one
// connection, and we need it: connections stay open as long as clients like (or end after a
// set number of replies), waits end at once when the server stops, and a fault may end a
// connection instead of answering. So HttpServer overrides the private virtual
// process_and_close_socket; this file is the only place that relies on httplib's insides
// (that, the protected listening socket and process_request).
#pragma once

#include <httplib.h>
#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace velmar::sim {

// How a connection goes on after a request.
enum class ConnectionEnd {
  Keep,               // the reply goes out; the connection stays as the client likes
  DropMidHeader,      // part of a status line and headers instead of the reply, then closed
  CloseWithoutReply,  // closed without a byte of reply
};

class HttpServer : public httplib::Server {
 public:
  HttpServer(const std::atomic<bool>& stopping, int stopFd);

  // httplib listens with a tiny backlog; bursts of new connections would then wait for SYN
  // retries. Listening again on the bound socket only raises the backlog.
  void widenBacklog();

  // Ends the accept loop: at once if it runs, else before it starts. (httplib's stop() does
  // nothing until the loop runs, which start() would have to wait for.)
  void stopListening();

  // From a handler: the connection that `request` came on ends as `end` instead of carrying
  // the reply. The request names its connection by its peer's address and port.
  void endConnection(const httplib::Request& request, ConnectionEnd end);

  // Every connection is closed after this many replies (0 = no limit).
  std::atomic<std::size_t>* repliesPerConnection = nullptr;

 private:
  using Peer = std::pair<std::string, int>;

  bool process_and_close_socket(socket_t sock) override;
  // Serves the requests of one connection until it ends; how it ended.
  ConnectionEnd serve(int sock, const std::atomic<ConnectionEnd>& planned);

  const std::atomic<bool>& stopping_;
  const int stopFd_;
  std::mutex mutex_;  // guards ends_
  // How each open connection is to end, by peer; each belongs to the thread serving it.
  std::map<Peer, std::atomic<ConnectionEnd>*> ends_;
};

}  // namespace velmar::sim
