#include "sim/simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "sim/api.h"
#include "sim/tree.h"

namespace velmar::sim {

extern const unsigned char kDemoHome[];
extern const std::size_t kDemoHomeSize;

namespace {

// The connection a worker thread is serving; the drop fault closes it under the handler's feet.
thread_local int tConnection = -1;
thread_local bool tDropped = false;

// The recorder keeps this many requests, so that a long-running server does not grow without end.
constexpr std::size_t kMaxRecorded = 100000;

// The deepest nesting of arrays and objects accepted in a request.
constexpr int kMaxNesting = 256;

std::string decodeBase64(const std::string& in) {
  std::string out;
  int buffer = 0, bits = 0;
  for (unsigned char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return {};
    buffer = (buffer << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

// A buffered socket stream for httplib's request parser, whose waits give up early once
// the server is stopping, so that stop() never sits out a read timeout. Waits also watch
// `stopFd`, which becomes readable at stop, so that an idle connection costs no wake-ups.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int sock, const std::atomic<bool>& stopping, int stopFd)
      : sock_(sock), stopping_(stopping), stopFd_(stopFd) {}

  // Any wait for input first sends what was written so far: httplib waits for readability
  // after writing a reply, and an interim "100 Continue" must reach the client.
  bool is_readable() const override {
    return begin_ < end_ || (flush() && waitFor(POLLIN, kReadTimeoutMs));
  }
  bool is_writable() const override { return true; }  // writes are buffered; flush() waits

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      if (!flush()) return -1;
      ssize_t n = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (!waitFor(POLLIN, kReadTimeoutMs)) return -1;
        n = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      }
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  // Collects a reply so that status line, headers and body leave in one send.
  ssize_t write(const char* ptr, size_t size) override {
    out_.append(ptr, size);
    if (out_.size() >= kFlushThreshold && !flush()) return -1;
    return static_cast<ssize_t>(size);
  }

  bool flush() const {
    size_t done = 0;
    while (done < out_.size()) {
      ssize_t n =
          ::send(sock_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        done += static_cast<size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!waitFor(POLLOUT, kWriteTimeoutMs)) break;
      } else if (errno != EINTR) {
        break;
      }
    }
    const bool complete = done == out_.size();
    out_.clear();
    return complete;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address(&getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address(&getsockname, ip, port);
  }
  socket_t socket() const override { return sock_; }

  bool hasBuffered() const { return begin_ < end_; }

  // Waits up to `ms` for the event, returning false early when the server stops.
  bool waitFor(short event, int ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p[2] = {{sock_, event, 0}, {stopFd_, POLLIN, 0}};
      const int r = ::poll(p, 2, static_cast<int>(left.count()));
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && p[0].revents != 0) return true;
      // Otherwise the stop signal (the loop ends on `stopping_`), EINTR or the time-out.
    }
    return false;
  }

 private:
  static constexpr int kReadTimeoutMs = 5000;
  static constexpr int kWriteTimeoutMs = 5000;
  static constexpr size_t kFlushThreshold = 64 * 1024;

  void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ip.clear();
    port = 0;
    if (get(sock_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
      port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
      port = ntohs(a->sin6_port);
    }
    ip = text;
  }

  int sock_;
  const std::atomic<bool>& stopping_;
  int stopFd_;
  char buffer_[16 * 1024];
  size_t begin_ = 0, end_ = 0;
  mutable std::string out_;
};

// The workers that serve connections, one connection each for as long as it stays open. Threads
// are added whenever every one is busy, up to a limit, so that clients that keep idle connections
// open cannot starve new ones. Every connection httplib accepts passes through enqueue(), which
// makes it the place to count them.
class ConnectionPool : public httplib::TaskQueue {
 public:
  ConnectionPool(std::size_t maxThreads, std::atomic<std::size_t>& accepted)
      : maxThreads_(maxThreads), accepted_(accepted) {}

  void enqueue(std::function<void()> job) override {
    ++accepted_;
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > available_ && threads_.size() < maxThreads_) {
      ++available_;
      threads_.emplace_back([this] { work(); });
    }
    ready_.notify_one();
  }

  // Called once the accept loop has ended: runs the queued jobs and joins every worker.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      --available_;
      lock.unlock();
      job();
      lock.lock();
      ++available_;
    }
  }

  const std::size_t maxThreads_;
  std::atomic<std::size_t>& accepted_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t available_ = 0;  // workers not serving a connection, including ones starting up
  bool stopping_ = false;
};

// httplib's server with our own per-connection loop: it lets a handler drop its connection and
// keeps connections alive as long as clients like.
class HttpServer : public httplib::Server {
 public:
  HttpServer(const std::atomic<bool>& stopping, int stopFd) : stopping_(stopping), stopFd_(stopFd) {
    keep_alive_max_count_ = 100000;
  }

  // httplib listens with a tiny backlog; bursts of new connections would then wait for SYN
  // retries. Listening again on the bound socket only raises the backlog.
  void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

  std::atomic<std::size_t>* repliesPerConnection = nullptr;

 private:
  bool process_and_close_socket(socket_t sock) override {
    // Each reply leaves in one send; Nagle's algorithm could only hold it back behind the
    // client's delayed acknowledgement of the previous one.
    int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    tConnection = sock;
    tDropped = false;
    {
      ConnectionStream stream(sock, stopping_, stopFd_);
      const std::size_t limit = repliesPerConnection ? repliesPerConnection->load() : 0;
      std::size_t served = 0;
      for (size_t remaining = keep_alive_max_count_; remaining > 0 && !stopping_; --remaining) {
        if (!stream.hasBuffered() &&
            !stream.waitFor(POLLIN, static_cast<int>(keep_alive_timeout_sec_ * 1000)))
          break;
        bool closed = false;
        bool ok =
            process_request(stream, remaining == 1 || stopping_, closed, [](httplib::Request&) {});
        if (tDropped || !stream.flush() || !ok || closed) break;
        if (limit != 0 && ++served >= limit) break;
      }
    }
    tConnection = -1;
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
  }

  const std::atomic<bool>& stopping_;
  const int stopFd_;
};

}  // namespace

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

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::deque<RecordedRequest> recorded;  // the latest kMaxRecorded requests
  std::map<std::string, Fault> faults;
  std::string username, password;
  bool escapeUnicode = false;

  void handle(const httplib::Request& req, httplib::Response& res);
  // Makes the live changes every `seconds` until stop().
  void runLive(double seconds);
  // Records the request and says whether its credentials are the required ones.
  bool recordAndAuthorise(const httplib::Request& req);
  bool authorised(const httplib::Request& req) const;
  // The fault set for `method` (or for every method), after waiting out a delay fault; and
  // whether answers escape non-ASCII characters.
  std::optional<Fault> faultFor(const std::string& method, std::optional<std::int64_t> firstParam,
                                bool& escape);
};

bool Simulator::Impl::authorised(const httplib::Request& req) const {
  if (username.empty() && password.empty()) return true;
  const std::string header = req.get_header_value("Authorization");
  const std::string prefix = "Basic ";
  if (header.compare(0, prefix.size(), prefix) != 0) return false;
  return decodeBase64(header.substr(prefix.size())) == username + ":" + password;
}

namespace {

// Answers with 401, 404 or 405 and returns true when the request does not reach the API.
bool refuseOutsideTheApi(const httplib::Request& req, bool allowed, httplib::Response& res) {
  if (!allowed) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"IP-Symcon\"");
    res.set_content("401 Unauthorized: valid credentials are required\n", "text/plain");
    return true;
  }
  if (req.path != "/api/") {
    res.status = 404;
    res.set_content("404 Not Found\n", "text/plain");
    return true;
  }
  if (req.method != "POST") {
    res.status = 405;
    res.set_header("Allow", "POST");
    res.set_content("405 Method Not Allowed: the API takes POST requests\n", "text/plain");
    return true;
  }
  return false;
}

// A request body as parsed once: the request (none when the body is not JSON), and the method
// and id it names, so that a body that is not JSON still meets the faults set for every method.
struct ParsedBody {
  std::optional<Json> request;
  std::optional<std::int64_t> firstParam;  // when the first parameter is an integer
  std::string method;
  Json id = nullptr;
};

ParsedBody parseBody(const std::string& body) {
  ParsedBody parsed;
  try {
    // Nesting is bounded: writing a value back (the echoed id) recurses once per level.
    parsed.request = Json::parse(body, [](int depth, Json::parse_event_t, Json&) {
      if (depth > kMaxNesting) throw std::length_error("nested too deeply");
      return true;
    });
  } catch (const Json::parse_error&) {
    return {};
  } catch (const std::length_error&) {
    return {};
  }
  if (parsed.request->is_object()) {
    auto m = parsed.request->find("method");
    if (m != parsed.request->end() && m->is_string()) parsed.method = m->get<std::string>();
    auto i = parsed.request->find("id");
    if (i != parsed.request->end()) parsed.id = *i;
    auto p = parsed.request->find("params");
    if (p != parsed.request->end() && p->is_array() && !p->empty() &&
        p->front().is_number_integer())
      parsed.firstParam = p->front().get<std::int64_t>();
  }
  return parsed;
}

// Answers with a fault in place of the API's reply (a delay is over before this).
void answerWithFault(const Fault& fault, const std::string& errorJson, httplib::Response& res) {
  switch (fault.kind) {
    case FaultKind::ErrorReply:
      res.set_content(errorJson, "application/json");
      return;
    case FaultKind::HttpStatus:
      res.status = fault.status;
      res.set_content(fault.message + "\n", "text/plain");
      return;
    case FaultKind::EmptyBody:
      res.set_content("", "application/json");
      return;
    case FaultKind::NonJsonBody:
      res.set_content("<html><body>Internal error</body></html>", "application/json");
      return;
    case FaultKind::DropConnection: {
      static const char partial[] = "HTTP/1.1 200 OK\r\nContent-Type: appli";
      ::send(tConnection, partial, sizeof partial - 1, MSG_NOSIGNAL);
      ::shutdown(tConnection, SHUT_RDWR);
      tDropped = true;
      return;
    }
    case FaultKind::CloseWithoutReply:
      ::shutdown(tConnection, SHUT_RDWR);
      tDropped = true;
      return;
    case FaultKind::Delay:
      return;
  }
}

}  // namespace

void Simulator::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  if (refuseOutsideTheApi(req, recordAndAuthorise(req), res)) return;
  const ParsedBody body = parseBody(req.body);
  bool escape = false;
  const std::optional<Fault> fault = faultFor(body.method, body.firstParam, escape);
  auto json = [escape](const Json& answer) {
    return answer.dump(-1, ' ', escape, Json::error_handler_t::replace);
  };
  if (fault) {
    answerWithFault(*fault, json(errorReply(kErrorInternal, fault->message, body.id)), res);
    return;
  }
  const Json answer =
      body.request ? api->call(*body.request) : errorReply(kErrorParse, "Parse error", nullptr);
  res.set_content(json(answer), "application/json");
}

bool Simulator::Impl::recordAndAuthorise(const httplib::Request& req) {
  std::lock_guard lock(mutex);
  RecordedRequest record{req.method, req.path, {}, req.body};
  for (const auto& [name, value] : req.headers) record.headers.emplace_back(name, value);
  if (recorded.size() == kMaxRecorded) recorded.pop_front();
  recorded.push_back(std::move(record));
  return authorised(req);
}

std::optional<Fault> Simulator::Impl::faultFor(const std::string& method,
                                               std::optional<std::int64_t> firstParam,
                                               bool& escape) {
  std::unique_lock lock(mutex);
  std::optional<Fault> fault;
  auto it = faults.find(method);
  if (it == faults.end()) it = faults.find("");
  if (it != faults.end() && (!it->second.firstParam || it->second.firstParam == firstParam)) {
    fault = it->second;
    if (fault->once) faults.erase(it);
  }
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

void Simulator::start() {
  Impl& d = *impl_;
  if (d.server) throw std::runtime_error("simulator: already started");
  const SimulatorOptions& o = d.options;
  std::string treeText = o.treeJson;
  if (treeText.empty() && !o.treeFile.empty()) {
    std::ifstream file(o.treeFile, std::ios::binary);
    if (!file) throw std::runtime_error("simulator: cannot read tree file " + o.treeFile);
    treeText.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  if (treeText.empty()) treeText = demoHomeJson();
  const int64_t now = o.clock();
  d.api = std::make_unique<Api>(ObjectTree::fromJson(treeText, now), o.kernelVersion,
                                o.kernelStart != 0 ? o.kernelStart : now, o.clock);

  d.stopping = false;
  d.stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.stopFd < 0) {
    throw std::runtime_error(std::string("simulator: cannot create an eventfd: ") +
                             std::strerror(errno));
  }
  auto server = std::make_unique<HttpServer>(d.stopping, d.stopFd);
  server->repliesPerConnection = &d.repliesPerConnection;
  const auto threads = static_cast<std::size_t>(std::max(1, o.threads));
  server->new_task_queue = [threads, &d] { return new ConnectionPool(threads, d.accepted); };
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  auto handler = [&d](const httplib::Request& req, httplib::Response& res) { d.handle(req, res); };
  server->Get(".*", handler)
      .Post(".*", handler)
      .Put(".*", handler)
      .Patch(".*", handler)
      .Delete(".*", handler)
      .Options(".*", handler);

  int port = o.port;
  errno = 0;
  if (port == 0) {
    port = server->bind_to_any_port(o.bind);
  } else if (!server->bind_to_port(o.bind, port)) {
    port = -1;
  }
  if (port <= 0) {
    const std::string reason = errno ? std::string(": ") + std::strerror(errno) : "";
    ::close(d.stopFd);
    d.stopFd = -1;
    throw std::runtime_error("simulator: cannot listen on " + o.bind + ":" +
                             std::to_string(o.port) + reason);
  }
  server->widenBacklog();
  d.boundPort = port;
  d.server = std::move(server);
  d.listener = std::thread([&d] { d.server->listen_after_bind(); });
  // stop() can only end the accept loop once it runs, so wait for that before returning.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!d.server->is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
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
  d.server->stop();
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
  std::lock_guard lock(impl_->mutex);
  return {impl_->recorded.begin(), impl_->recorded.end()};
}

void Simulator::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->recorded.clear();
}

std::size_t Simulator::connectionsAccepted() const {
  return impl_->accepted;
}

void Simulator::setFault(const std::string& method, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.insert_or_assign(method, std::move(fault));
}

void Simulator::setRepliesPerConnection(std::size_t replies) {
  impl_->repliesPerConnection = replies;
}

void Simulator::clearFaults() {
  std::lock_guard lock(impl_->mutex);
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
