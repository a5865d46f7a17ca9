#pragma once

// A TCP proxy on loopback that makes a fast local server look like one across a network: every
// byte is handed on half a round trip after it arrived, in either direction, and the first
// bytes of every new connection one round trip later still (the TCP handshake a real network
// would charge before them). One thread per proxied connection; all of them end when the proxy
// is destroyed.
#include <atomic>
#include <chrono>
#include <thread>

namespace velmar::bench {

class LatencyProxy {
 public:
  // Listens on 127.0.0.1 (ephemeral port) and forwards to 127.0.0.1:upstreamPort.
  LatencyProxy(int upstreamPort, std::chrono::microseconds roundTrip);
  ~LatencyProxy();
  LatencyProxy(const LatencyProxy&) = delete;
  LatencyProxy& operator=(const LatencyProxy&) = delete;

  int port() const { return port_; }
  // Connections accepted so far.
  long connections() const { return connections_.load(); }

 private:
  void acceptLoop();
  void relay(int client);

  int upstreamPort_;
  std::chrono::nanoseconds halfTrip_;
  std::chrono::nanoseconds handshake_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<long> connections_{0};
  std::atomic<long> live_{0};
  std::thread acceptor_;
};

}  // namespace velmar::bench
