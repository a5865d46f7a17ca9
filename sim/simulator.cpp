#include "sim/simulator.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "sim/api.h"
#include "sim/connection_pool.h"
#include "sim/credentials.h"
#include "sim/http_server.h"
#include "sim/replies.h"
#include "sim/request_body.h"
#include "sim/tree.h"

namespace velmar::sim {

extern const unsigned char kDemoHome[];
extern const std::size_t kDemoHomeSize;

struct Simulator::Impl {
  SimulatorOptions options;
  std::unique_ptr<Api> api;
  std::unique_ptr<HttpServer> server;
  std::thread listener;
  std::thread live;  // the live changes, when liveSeconds is set
  int boundPort = 0;
  std::atomic<bool> stopping{false};
  int stopFd = -1;  // an eventfd made readable at stop, which wakes every connection's wait
  std::atomic<std::size_t> accepted{0};
  std::atomic<std::size_t> repliesPerConnection{0};
  RequestLog log;
  FaultTable faults;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::string username, password;
  bool escapeUnicode = false;

  void handle(const httplib::Request& req, httplib::Response& res);
  // Makes the live changes every `seconds` until stop().
  void runLive(double seconds);
  // Records the request and says whether its credentials are the required ones.
  bool recordAndAuthorise(const httplib::Request& req);
  // The fault that a request meets, after waiting out a delay fault (which then answers
  // normally); and whether answers escape non-ASCII characters.
  std::optional<Fault> faultFor(const ParsedBody& body, bool& escape);
  std::unique_ptr<HttpServer> makeServer();
};

void Simulator::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  if (refuseOutsideTheApi(req, recordAndAuthorise(req), res)) return;
  const ParsedBody body = parseBody(req.body);
  bool escape = false;
  const std::optional<Fault> fault = faultFor(body, escape);
  auto json = [escape](const Json& answer) {
    return answer.dump(-1, ' ', escape, Json::error_handler_t::replace);
  };
  if (fault) {
    const ConnectionEnd end =
        answerWithFault(*fault, json(errorReply(kErrorInternal, fault->message, body.id)), res);
    if (end != ConnectionEnd::Keep) server->endConnection(req, end);
    return;
  }
  const Json answer =
      body.request ? api->call(*body.request) : errorReply(kErrorParse, "Parse error", nullptr);
  res.set_content(json(answer), "application/json");
}

bool Simulator::Impl::recordAndAuthorise(const httplib::Request& req) {
  RecordedRequest record{req.method, req.path, {}, req.body};
  for (const auto& [name, value] : req.headers) record.headers.emplace_back(name, value);
  log.record(std::move(record));
  std::lock_guard lock(mutex);
  return CredentialsMatch(req.get_header_value("Authorization"), username, password);
}

std::optional<Fault> Simulator::Impl::faultFor(const ParsedBody& body, bool& escape) {
  std::optional<Fault> fault = faults.meet(body.method, body.firstParam);
  std::unique_lock lock(mutex);
  if (fault && fault->kind == FaultKind::Delay) {
    // Waits for the delay or for stop(), whichever comes first, then answers normally.
    wake.wait_for(lock, fault->delay, [this] { return stopping.load(); });
    fault.reset();
  }
  escape = escapeUnicode;
  return fault;
}

void Simulator::Impl::runLive(double seconds) {
  const auto interval =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
  std::unique_lock lock(mutex);
  while (!wake.wait_for(lock, interval, [this] { return stopping.load(); })) {
    lock.unlock();
    api->liveTick(options.clock());
    lock.lock();
  }
}

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  if (!impl_->options.clock) impl_->options.clock = WallClock;
  impl_->username = impl_->options.username;
  impl_->password = impl_->options.password;
  impl_->escapeUnicode = impl_->options.escapeUnicode;
}

Simulator::~Simulator() {
  stop();
}

std::unique_ptr<HttpServer> Simulator::Impl::makeServer() {
  auto made = std::make_unique<HttpServer>(stopping, stopFd);
  made->repliesPerConnection = &repliesPerConnection;
  const auto threads = static_cast<std::size_t>(std::max(1, options.threads));
  made->new_task_queue = [threads, this] { return new ConnectionPool(threads, accepted); };
  made->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  made->Get(".*", handler)
      .Post(".*", handler)
      .Put(".*", handler)
      .Patch(".*", handler)
      .Delete(".*", handler)
      .Options(".*", handler);
  return made;
}

namespace {

std::string TreeText(const SimulatorOptions& o) {
  std::string treeText = o.treeJson;
  if (treeText.empty() && !o.treeFile.empty()) {
    std::ifstream file(o.treeFile, std::ios::binary);
    if (!file) throw std::runtime_error("simulator: cannot read tree file " + o.treeFile);
    treeText.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  if (treeText.empty()) treeText = Simulator::demoHomeJson();
  return treeText;
}

// Binds `server` as `o` says; the port bound, or a failure that names the address.
int Bind(HttpServer& server, const SimulatorOptions& o) {
  int port = o.port;
  errno = 0;
  if (port == 0) {
    port = server.bind_to_any_port(o.bind);
  } else if (!server.bind_to_port(o.bind, port)) {
    port = -1;
  }
  if (port <= 0) {
    const std::string reason = errno ? std::string(": ") + std::strerror(errno) : "";
    throw std::runtime_error("simulator: cannot listen on " + o.bind + ":" +
                             std::to_string(o.port) + reason);
  }
  server.widenBacklog();
  return port;
}

}  // namespace

void Simulator::start() {
  Impl& d = *impl_;
  if (d.server) throw std::runtime_error("simulator: already started");
  const SimulatorOptions& o = d.options;
  const int64_t now = o.clock();
  d.api = std::make_unique<Api>(ObjectTree::fromJson(TreeText(o), now), o.kernelVersion,
                                o.kernelStart != 0 ? o.kernelStart : now, o.clock);

  d.stopping = false;
  d.stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.stopFd < 0) {
    throw std::runtime_error(std::string("simulator: cannot create an eventfd: ") +
                             std::strerror(errno));
  }
  auto server = d.makeServer();
  try {
    d.boundPort = Bind(*server, o);
  } catch (...) {
    ::close(d.stopFd);
    d.stopFd = -1;
    throw;
  }
  d.server = std::move(server);
  // The socket listens already: clients that connect before the accept loop runs wait in the
  // backlog, and stop() ends the loop whether it runs yet or not. Nothing to wait for.
  d.listener = std::thread([&d] { d.server->listen_after_bind(); });
  if (o.liveSeconds > 0)
    d.live = std::thread([&d, seconds = o.liveSeconds] { d.runLive(seconds); });
}

void Simulator::stop() {
  Impl& d = *impl_;
  if (!d.server) return;
  {
    std::lock_guard lock(d.mutex);
    d.stopping = true;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(d.stopFd, &one, sizeof one);
  d.wake.notify_all();
  d.server->stopListening();
  if (d.listener.joinable()) d.listener.join();
  if (d.live.joinable()) d.live.join();
  d.server.reset();
  ::close(d.stopFd);
  d.stopFd = -1;
}

int Simulator::port() const {
  return impl_->boundPort;
}

std::vector<RecordedRequest> Simulator::requests() const {
  return impl_->log.requests();
}

void Simulator::clearRequests() {
  impl_->log.clear();
}

std::size_t Simulator::connectionsAccepted() const {
  return impl_->accepted;
}

void Simulator::setFault(const std::string& method, Fault fault) {
  impl_->faults.set(method, std::move(fault));
}

void Simulator::setRepliesPerConnection(std::size_t replies) {
  impl_->repliesPerConnection = replies;
}

void Simulator::clearFaults() {
  impl_->faults.clear();
}

void Simulator::setCredentials(std::string username, std::string password) {
  std::lock_guard lock(impl_->mutex);
  impl_->username = std::move(username);
  impl_->password = std::move(password);
}

void Simulator::setEscapeUnicode(bool on) {
  std::lock_guard lock(impl_->mutex);
  impl_->escapeUnicode = on;
}

std::string Simulator::objectJson(int id) const {
  if (!impl_->api) throw std::runtime_error("simulator: not started");
  return impl_->api->objectJson(id);
}

std::string Simulator::variableValueJson(int id) const {
  if (!impl_->api) throw std::runtime_error("simulator: not started");
  return impl_->api->variableValueJson(id);
}

void Simulator::liveTick(int64_t now) {
  if (!impl_->api) throw std::runtime_error("simulator: not started");
  impl_->api->liveTick(now);
}

std::string Simulator::demoHomeJson() {
  return std::string(reinterpret_cast<const char*>(kDemoHome), kDemoHomeSize);
}

}  // namespace velmar::sim
