// 10,000 IPS_GetObject calls against the simulated server on loopback, through the API client
// and through a minimal reference client: a plain blocking socket that sends the same request
// bytes and reads the same reply, on a new connection per request (the previous one closed
// when the next starts), as the API client does with TLS off.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "api/json_rpc.h"
#include "api/server_calls.h"
#include "sim/simulator.h"

namespace {

constexpr int kRequests = 10000;

const char* kTree = R"({"objects":[
  {"id":12345,"parent":0,"name":"K\u00fcche","type":"variable","info":"Kitchen temperature",
   "icon":"Temperature","variable":{"type":"float","value":21.5}},
  {"id":12346,"parent":12345,"name":"Sensor","type":"variable","variable":{"type":"boolean"}}
]})";

velmar::sim::Simulator& Server() {
  static velmar::sim::Simulator* server = [] {
    velmar::sim::SimulatorOptions options;
    options.treeJson = kTree;
    auto* s = new velmar::sim::Simulator(options);
    s->start();
    return s;
  }();
  return *server;
}

void BM_VelmarGetObject(benchmark::State& state) {
  velmar::api::InitializeRPCModule();
  velmar::api::InitializeRPC("127.0.0.1", Server().port(), false, "", "");
  for (auto _ : state) {
    velmar::api::JsonRef object = velmar::api::IPS_GetObject(12345);
    if (!object) state.SkipWithError("no result");
    benchmark::DoNotOptimize(object);
  }
  velmar::api::FinalizeRPCForThread();
  velmar::api::InitializeRPCForThread();
}

// The reference: the same bytes as the API client puts on the wire, one blocking connection
// per request, the reply read whole by its Content-Length.
class ReferenceClient {
 public:
  explicit ReferenceClient(int port) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(static_cast<uint16_t>(port));
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string body =
        R"({"method":"IPS_GetObject","params":[12345],"id":1,"jsonrpc":"2.0"})";
    request_ = "POST /api/ HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
               "\r\nUser-Agent: Velmar\r\nAccept: */*\r\nContent-Type: application/json\r\n"
               "Connection: keep-alive\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  ~ReferenceClient() {
    if (fd_ >= 0) ::close(fd_);
  }

  std::string Call() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0)
      throw std::runtime_error("connect failed");
    if (::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request_.size()))
      throw std::runtime_error("send failed");
    std::string reply;
    std::size_t needed = std::string::npos;
    char buffer[16384];
    while (needed == std::string::npos || reply.size() < needed) {
      ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) throw std::runtime_error("reply cut short");
      reply.append(buffer, static_cast<std::size_t>(got));
      std::size_t headEnd = reply.find("\r\n\r\n");
      if (needed == std::string::npos && headEnd != std::string::npos) {
        std::size_t at = reply.find("Content-Length: ");
        if (at == std::string::npos || at > headEnd) throw std::runtime_error("no length");
        needed = headEnd + 4 + std::stoul(reply.substr(at + 16));
      }
    }
    return reply;
  }

 private:
  sockaddr_in address_{};
  std::string request_;
  int fd_ = -1;
};

void BM_ReferenceGetObject(benchmark::State& state) {
  ReferenceClient client(Server().port());
  for (auto _ : state) {
    std::string reply = client.Call();
    benchmark::DoNotOptimize(reply);
  }
}

// Three rounds, alternating which client goes first, so that neither profits from its place
// while the machine's load changes; the report takes the best round of each.
#define VELMAR_API_BENCH(fn) \
  BENCHMARK(fn)->Iterations(kRequests)->UseRealTime()->Unit(benchmark::kMicrosecond)
VELMAR_API_BENCH(BM_ReferenceGetObject);
VELMAR_API_BENCH(BM_VelmarGetObject);
VELMAR_API_BENCH(BM_VelmarGetObject);
VELMAR_API_BENCH(BM_ReferenceGetObject);
VELMAR_API_BENCH(BM_ReferenceGetObject);
VELMAR_API_BENCH(BM_VelmarGetObject);

}  // namespace

BENCHMARK_MAIN();
