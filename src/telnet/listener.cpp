#include "telnet/listener.h"

#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/error.h"
#include "platform/logger.h"
#include "platform/socket_address.h"
#include "platform/unique_fd.h"
#include "telnet/thread_stack.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::telnet {

struct Listener::Socket {
  platform::UniqueFd fd;
  std::string endpoint;
  bool second = false;  // the second service's
};

struct Listener::Settings {
  std::u16string loginMessage;
  HandlerFactory factory;
  StreamServer secondServer;
};

struct Listener::Entry {
  Listener* owner = nullptr;
  std::string address;                     // the client's address, without the port
  std::unique_ptr<Connection> connection;  // a Telnet client
  platform::UniqueFd stream;               // else a client of the second service
  std::string peer;
  // Ends the connection from another thread.
  void Disconnect() {
    if (connection) {
      connection->Disconnect();
    } else {
      ::shutdown(stream.get(), SHUT_RDWR);
    }
  }
  std::shared_ptr<const Settings> settings;
  std::shared_ptr<void> admission;  // what the admission gate gave, held while it runs
  std::size_t descriptors = 0;      // as counted against the budget
  ThreadStack stack;                // the entry goes only after its thread has been joined
  pthread_t thread{};
  std::list<Entry>::iterator self;
};

namespace {

// The client's address as text, without the port ("127.0.0.1", "[::1]").
std::string clientAddress(int fd) {
  const auto peer = platform::PeerAddress(fd);
  if (!peer) return {};
  const std::string endpoint = platform::FormatEndpoint(*peer);
  return endpoint.substr(0, endpoint.rfind(':'));
}

const char* serviceName(bool second) {
  return second ? "SSH" : "Telnet";
}

[[noreturn]] void failListen(bool second, const std::string& address, std::uint16_t port,
                             int error) {
  throw Error(std::string("Cannot listen for ") + serviceName(second) + " connections on " +
              address + " port " + std::to_string(port) + ": " + std::strerror(error));
}

}  // namespace

Listener::Listener() = default;

Listener::~Listener() {
  switchOff();
}

void Listener::setActive(bool active) {
  if (active) {
    switchOn();
  } else {
    switchOff();
  }
}

std::vector<std::unique_ptr<Listener::Socket>> Listener::bindAll(std::uint16_t& port,
                                                                 bool second) const {
  struct Wanted {
    std::string address;
    bool optional;  // the IPv6 wildcard, skipped where the host has no IPv6
  };
  std::vector<Wanted> wanted;
  if (bindings_.empty()) {
    wanted = {{"0.0.0.0", false}, {"::", true}};
  } else {
    for (const auto& address : bindings_) wanted.push_back({address, false});
  }

  std::vector<std::unique_ptr<Socket>> sockets;
  for (const auto& want : wanted) {
    const auto address = platform::ParseNumericAddress(want.address, port);
    if (!address) {
      throw Error(std::string("Cannot listen for ") + serviceName(second) + " connections on " +
                  want.address + ": not a numeric IPv4 or IPv6 address");
    }
    auto socket = std::make_unique<Socket>();
    socket->second = second;
    socket->fd.reset(::socket(address->family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket->fd.valid()) {
      if (want.optional && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) continue;
      failListen(second, want.address, port, errno);
    }
    const int on = 1;
    setsockopt(socket->fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->family() == AF_INET6) {
      // IPv4 has its own binding on the same port.
      setsockopt(socket->fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (::bind(socket->fd.get(), address->get(), address->length) != 0) {
      if (want.optional && (errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT)) continue;
      failListen(second, want.address, port, errno);
    }
    if (::listen(socket->fd.get(), kListenQueue) != 0) {
      failListen(second, want.address, port, errno);
    }
    // With port 0 the first binding picks the port and the others follow it.
    const auto bound = platform::LocalAddress(socket->fd.get());
    if (!bound) failListen(second, want.address, port, errno);
    port = bound->port();
    socket->endpoint = platform::FormatEndpoint(*bound);
    sockets.push_back(std::move(socket));
  }
  if (sockets.empty()) {
    throw Error(std::string("Cannot listen for ") + serviceName(second) +
                " connections: no address to bind");
  }
  return sockets;
}

void Listener::switchOn() {
  if (active_) return;
  if (!factory_) throw Error("The Telnet listener has no connection handler");

  std::uint16_t port = defaultPort_;
  std::vector<std::unique_ptr<Socket>> sockets = bindAll(port, false);
  std::uint16_t secondPort = secondPort_;
  if (secondServer_) {
    auto more = bindAll(secondPort, true);
    for (auto& socket : more) sockets.push_back(std::move(socket));
  }

  int wakePipe[2];
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Error(std::string("Cannot start the Telnet listener: ") + std::strerror(errno));
  }
  wakeRead_.reset(wakePipe[0]);
  wakeWrite_.reset(wakePipe[1]);
  settings_ = std::make_shared<const Settings>(Settings{loginMessage_, factory_, secondServer_});
  sockets_ = std::move(sockets);
  // Counted once the listening sockets and the wake-up pipe are open: what is left is the
  // connections'.
  const std::size_t limit = platform::OpenFileLimit();
  const std::size_t taken = platform::OpenDescriptorCount() + kProcessDescriptorReserve;
  descriptorBudget_ = descriptorsPerConnection_[0] == 0 || limit == platform::kNoOpenFileLimit
                          ? platform::kNoOpenFileLimit
                          : limit - std::min(limit, taken);
  descriptorsHeld_ = 0;
  boundPort_ = port;
  boundSecondPort_ = secondPort;
  stopping_ = false;
  active_ = true;
  try {
    reaper_ = std::thread([this] { reapLoop(); });
    for (const auto& socket : sockets_) {
      acceptThreads_.emplace_back([this, &socket = *socket] { acceptLoop(socket); });
    }
  } catch (const std::system_error& e) {
    switchOff();
    throw Error(std::string("Cannot start the Telnet listener: ") + e.what());
  }
}

void Listener::switchOff() {
  if (!active_) return;
  active_ = false;

  // Stop accepting first, so that the set of connections is final.
  [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_.get(), "x", 1);
  for (auto& thread : acceptThreads_) thread.join();
  acceptThreads_.clear();
  sockets_.clear();

  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& entry : entries_) entry.Disconnect();
  }
  changed_.notify_all();
  if (switchOffHook_) {
    try {
      switchOffHook_();
    } catch (...) {
      // Switch-off goes on whatever the hook raises.
      platform::Log("switching off: " + text::CaughtMessage());
    }
  }
  if (reaper_.joinable()) reaper_.join();

  std::list<Entry> finished;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return entries_.empty(); });
    finished.swap(finished_);
  }
  for (auto& entry : finished) pthread_join(entry.thread, nullptr);
  finished.clear();

  wakeRead_.reset();
  wakeWrite_.reset();
  settings_.reset();
  boundPort_ = 0;
  boundSecondPort_ = 0;
}

std::vector<std::string> Listener::boundEndpoints() const {
  std::vector<std::string> result;
  for (const auto& socket : sockets_) {
    if (!socket->second) result.push_back(socket->endpoint);
  }
  return result;
}

std::vector<std::string> Listener::boundSecondEndpoints() const {
  std::vector<std::string> result;
  for (const auto& socket : sockets_) {
    if (socket->second) result.push_back(socket->endpoint);
  }
  return result;
}

std::size_t Listener::connectionCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

bool Listener::waitUntilNoConnections(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return entries_.empty(); });
}

namespace {

// accept() failures that concern one client (which left before it was taken, or was refused
// by a firewall rule) and leave the listening socket as good as before.
bool ClientGoneFirst(int error) {
  switch (error) {
    case EAGAIN:
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

void Listener::acceptLoop(const Socket& socket) {
  pollfd fds[2] = {{socket.fd.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      if (OutOfResources(errno)) {
        ::poll(&fds[1], 1, 100);
        continue;
      }
      acceptingFailed(socket, "poll", errno);
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(socket.fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (OutOfResources(error)) {
        // Out of descriptors or memory: the pending client stays queued; retry shortly
        // instead of spinning on a listening socket that keeps reporting it.
        ::poll(&fds[1], 1, 100);
        continue;
      }
      if (ClientGoneFirst(error)) continue;
      acceptingFailed(socket, "accept", error);
      return;
    }
    startConnection(fd, socket.second);
  }
}

void Listener::acceptingFailed(const Socket& socket, const char* call, int error) {
  // The other bindings stop too: a listener that serves some of its addresses and not others
  // would only hide the failure.
  [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_.get(), "x", 1);
  if (failureHook_) {
    failureHook_(socket.endpoint, std::string(call) + ": " + std::strerror(error));
  }
}

bool Listener::overLimit(const std::string& address) const {
  if (maxConnections_ != 0 && entries_.size() >= maxConnections_) return true;
  if (maxPerAddress_ == 0) return false;
  const auto it = perAddress_.find(address);
  return it != perAddress_.end() && it->second >= maxPerAddress_;
}

void Listener::startConnection(int fd, bool second) {
  platform::UniqueFd owned(fd);
  const int on = 1;
  // Prompts and short lines should leave at once, not wait for the previous ACK.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string address = clientAddress(fd);
  std::shared_ptr<void> admission;
  if (admissionGate_) {
    const auto peer = platform::PeerAddress(fd);
    admission = admissionGate_(peer ? platform::FormatEndpoint(*peer) : std::string(), second);
    if (!admission) {
      refuse(fd);
      return;
    }
  }

  std::unique_lock lock(mutex_);
  if (stopping_) return;
  const std::size_t descriptors = descriptorsPerConnection_[second ? 1 : 0];
  const char* refusal = nullptr;
  if (overLimit(address)) {
    refusal = "too many connections";
  } else if (descriptorBudget_ != platform::kNoOpenFileLimit &&
             descriptorsHeld_ + descriptors > descriptorBudget_) {
    refusal = "too few open files left";
  }
  if (refusal != nullptr) {
    lock.unlock();
    if (refusalHook_) refusalHook_(address, second, refusal);
    refuse(fd);
    return;
  }
  Entry& entry = entries_.emplace_back();
  entry.owner = this;
  entry.admission = std::move(admission);
  entry.address = std::move(address);
  entry.descriptors = descriptors;
  descriptorsHeld_ += descriptors;
  ++perAddress_[entry.address];
  if (second) {
    entry.stream = std::move(owned);
    const auto peer = platform::PeerAddress(fd);
    entry.peer = peer ? platform::FormatEndpoint(*peer) : std::string();
  } else {
    entry.connection = std::make_unique<Connection>(owned.release(), writeLimit_);
  }
  entry.settings = settings_;
  entry.self = std::prev(entries_.end());

  int rc = entry.stack.Map(stackSize_) ? 0 : ENOMEM;
  if (rc == 0) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, entry.stack.base(), entry.stack.size());
    rc = pthread_create(&entry.thread, &attr, &Listener::connectionMain, &entry);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {  // no thread for it: the client is turned away as by a limit
    const std::string refused = entry.address;
    refuse(fd);  // the entry still owns the socket
    forgetAddress(entry.address);
    descriptorsHeld_ -= entry.descriptors;
    entries_.erase(entry.self);
    lock.unlock();
    if (refusalHook_) refusalHook_(refused, second, "no thread could be started");
  }
}

void Listener::refuse(int fd) {
  // A fresh socket's send buffer takes the line whole; never wait for a client that does
  // not read.
  static constexpr char kRefusal[] = "Too many connections.\r\n";
  [[maybe_unused]] const ssize_t sent =
      ::send(fd, kRefusal, sizeof kRefusal - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
}

void Listener::forgetAddress(const std::string& address) {
  const auto it = perAddress_.find(address);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
}

void* Listener::connectionMain(void* arg) {
  auto& entry = *static_cast<Entry*>(arg);
  serve(entry, *entry.settings);
  entry.admission.reset();
  Listener& owner = *entry.owner;
  {
    std::lock_guard lock(owner.mutex_);
    owner.forgetAddress(entry.address);
    owner.descriptorsHeld_ -= entry.descriptors;
    owner.finished_.splice(owner.finished_.end(), owner.entries_, entry.self);
  }
  owner.changed_.notify_all();
  return nullptr;
}

void Listener::serve(Entry& entry, const Settings& settings) {
  if (!entry.connection) {
    try {
      settings.secondServer(entry.stream.get(), entry.peer);
    } catch (...) {
      // The server's own failure ends only its connection.
      platform::Log("SSH connection " + entry.peer + " ended: " + text::CaughtMessage());
    }
    ::shutdown(entry.stream.get(), SHUT_RDWR);
    return;
  }
  ServeClient(*entry.connection, settings.factory, settings.loginMessage);
  entry.connection->Disconnect();
}

void ServeClient(Client& client, const HandlerFactory& factory,
                 const std::u16string& loginMessage) {
  std::unique_ptr<ConnectionHandler> handler;
  try {
    handler = factory(client);
    handler->OnConnect();
    if (!loginMessage.empty()) {
      client.WriteLn(loginMessage);
      client.WriteLn();
    }
  } catch (const std::exception& e) {
    try {
      client.WriteLn(text::Utf8ToUtf16(e.what()));
    } catch (...) {
      // The connection is gone already.
    }
    client.Disconnect();
  } catch (...) {
    platform::Log("connection " + client.peer() + " ended: " + text::CaughtMessage());
    client.Disconnect();
  }

  while (client.Connected()) {
    try {
      handler->OnExecute();
    } catch (...) {
      // Ends the connection without a word to the client. A client that has gone is no news;
      // any other failure is the operator's to know.
      if (client.Connected()) {
        platform::Log("connection " + client.peer() + " ended: " + text::CaughtMessage());
      }
      break;
    }
  }

  if (handler) {
    try {
      handler->OnDisconnect();
    } catch (...) {
      // The connection is closed by the caller in any case.
      platform::Log("connection " + client.peer() + " closing: " + text::CaughtMessage());
    }
  }
}

void Listener::reapLoop() {
  std::unique_lock lock(mutex_);
  // Set when the last connection has gone: a second later, if none has come meanwhile, the
  // memory that the connection threads' allocator arenas keep cached goes back to the system,
  // so that an idle service is small again after a busy hour instead of staying at its peak.
  bool trimPending = false;
  for (;;) {
    auto ready = [this] { return stopping_ || !finished_.empty(); };
    if (trimPending) {
      if (!changed_.wait_for(lock, std::chrono::seconds(1), ready)) {
        trimPending = false;
        if (entries_.empty()) {
          lock.unlock();
          ::malloc_trim(0);
          lock.lock();
        }
        continue;
      }
    } else {
      changed_.wait(lock, ready);
    }
    if (stopping_) return;
    std::list<Entry> done;
    done.swap(finished_);
    lock.unlock();
    for (auto& entry : done) pthread_join(entry.thread, nullptr);
    done.clear();  // closes the sockets
    lock.lock();
    trimPending = entries_.empty();
  }
}

}  // namespace velmar::telnet
