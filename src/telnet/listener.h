#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/open_files.h"
#include "platform/unique_fd.h"
#include "telnet/connection.h"

namespace velmar::telnet {

// What the listener runs for one connection, on that connection's own thread: OnConnect
// once, OnExecute again and again while the connection is open, OnDisconnect once.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;
  virtual void OnConnect() = 0;
  virtual void OnExecute() = 0;
  virtual void OnDisconnect() = 0;
};

// Creates the handler of a freshly accepted client (on its connection's thread).
using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>(Client&)>;

// Serves one connection of another protocol (SSH) on that connection's own thread, until it
// ends: gets the connected socket and the client's address and port as text. The socket stays
// the listener's: it is shut down at switch-off and closed after the server has returned, so
// a server that needs a descriptor of its own dup()s it.
using StreamServer = std::function<void(int fd, const std::string& peer)>;

// Runs one client's shell on the calling thread: the handler's OnConnect, the login message
// and an empty line, OnExecute while the client is connected, OnDisconnect. A failure of the
// connect stage is shown to the client and ends it; a failure of a command ends it without a
// word. The caller closes the connection afterwards.
void ServeClient(Client& client, const HandlerFactory& factory, const std::u16string& loginMessage);

// A multi-threaded Telnet listener: one accepting thread per listening socket, one thread
// per connection, optional connection limits, no login; the server opens no option negotiation
// (each Connection answers the client's). After a handler's OnConnect it writes the login message
// and an empty line. A second service (SSH) may listen beside it on a port of its own and the
// same addresses, sharing the threads, the limits and the switch-off.
//
// The settings are written while the listener is off. Switching on and off is done by the
// owner's thread; switch-off closes every connection, wakes every delay and joins every
// thread before it returns.
class Listener {
 public:
  static constexpr int kListenQueue = 15;
  static constexpr std::size_t kDefaultStackSize = 256 * 1024;

  Listener();
  ~Listener();  // switches off
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The port every binding listens on (23 at creation). 0 lets the system pick one; all
  // bindings then share the port that the first one got (see boundPort()).
  void setDefaultPort(std::uint16_t port) { defaultPort_ = port; }
  std::uint16_t defaultPort() const { return defaultPort_; }

  // Written after OnConnect, followed by an empty line; nothing at all when empty.
  // "Have a lot of fun..." at creation.
  void setLoginMessage(std::u16string message) { loginMessage_ = std::move(message); }
  const std::u16string& loginMessage() const { return loginMessage_; }

  // Numeric addresses to listen on ("127.0.0.1", "::1", "[::1]"). Empty (the default)
  // means the IPv4 wildcard and, where the host supports IPv6, the IPv6 wildcard.
  void setBindings(std::vector<std::string> addresses) { bindings_ = std::move(addresses); }

  void setHandlerFactory(HandlerFactory factory) { factory_ = std::move(factory); }

  // Also listens on `port` (on the same addresses) and hands those connections to `server`:
  // the SSH front end. Threads, switch-off and the connection limits are shared: the limits
  // count the connections of both ports together.
  void setSecondService(std::uint16_t port, StreamServer server) {
    secondPort_ = port;
    secondServer_ = std::move(server);
  }

  // Run by switch-off after every connection has been closed and before the connection
  // threads are joined: the place to abort work that a closed socket does not interrupt
  // (HTTP transfers in flight).
  void setSwitchOffHook(std::function<void()> hook) { switchOffHook_ = std::move(hook); }

  // At most `total` connections at once, and at most `perAddress` from one client address
  // (0: no limit, the default). A connection over either is sent "Too many connections."
  // and closed at once by the accepting thread, before any thread is started for it.
  void setConnectionLimits(std::size_t total, std::size_t perAddress) {
    maxConnections_ = total;
    maxPerAddress_ = perAddress;
  }

  // Run on an accepting thread when accepting fails for good (not for want of descriptors or
  // a client that left early), with the endpoint and what failed. Accepting then stops on
  // every binding; the connections in go on until switch-off.
  using FailureHook = std::function<void(const std::string& endpoint, const std::string& what)>;
  void setFailureHook(FailureHook hook) { failureHook_ = std::move(hook); }

  // Run on the accepting thread for each client refused by a limit, with its address,
  // whether it came to the second service's port, and why ("too many connections").
  using RefusalHook =
      std::function<void(const std::string& address, bool second, std::string_view reason)>;
  void setRefusalHook(RefusalHook hook) { refusalHook_ = std::move(hook); }

  // Descriptors that one connection may need at once: its own (the Telnet socket; for the
  // second service `second`) and those of its server requests. With these set (0: none,
  // the default), switch-on takes the open-file limit less the descriptors open then and
  // kProcessDescriptorReserve as what connections may use, and a client that would need more
  // than is left is refused as the connection limits refuse one, before a thread is started
  // for it: the sessions already in keep the descriptors their server requests need.
  void setDescriptorsPerConnection(std::size_t telnet, std::size_t second) {
    descriptorsPerConnection_[0] = telnet;
    descriptorsPerConnection_[1] = second;
  }
  std::size_t descriptorsPerConnection(bool second) const {
    return descriptorsPerConnection_[second ? 1 : 0];
  }
  // What the process keeps for itself beyond the connections (the main thread's server
  // connection, the audit log, reloads of the users file and host key).
  static constexpr std::size_t kProcessDescriptorReserve = 32;
  // The descriptors connections may use, as switch-on found them; platform::kNoOpenFileLimit
  // while they are not counted.
  std::size_t descriptorBudget() const { return descriptorBudget_; }

  // A write to a Telnet client that makes no progress for this long ends its connection (60
  // seconds at creation). The second service keeps its own limit.
  void setWriteLimit(std::chrono::milliseconds limit) { writeLimit_ = limit; }

  // Asked on the accepting thread for each new client, with its address and port and whether
  // it came to the second service's port: gives what the connection holds until it ends, or
  // null to turn the client away as the connection limits do (the gate logs why). None: every
  // client passes.
  using AdmissionGate = std::function<std::shared_ptr<void>(const std::string& peer, bool second)>;
  void setAdmissionGate(AdmissionGate gate) { admissionGate_ = std::move(gate); }

  // Stack size of the connection threads; kept small so that many idle connections stay
  // cheap.
  void setThreadStackSize(std::size_t bytes) { stackSize_ = bytes; }

  // Switches on or off. Switch-on binds and listens on every binding; on failure nothing is
  // left open, the listener stays off and velmar::Error says what failed.
  void setActive(bool active);
  bool active() const { return active_; }

  // The port actually listened on (useful with port 0); 0 while off.
  std::uint16_t boundPort() const { return boundPort_; }
  // The same for the second service; 0 while off or without one.
  std::uint16_t boundSecondPort() const { return boundSecondPort_; }
  // The listening endpoints as text ("0.0.0.0:23", "[::]:23"); empty while off. The second
  // service's are listed apart.
  std::vector<std::string> boundEndpoints() const;
  std::vector<std::string> boundSecondEndpoints() const;

  // The number of connections whose threads are still running.
  std::size_t connectionCount() const;
  // Waits until no connection thread is running any more (each has run its OnDisconnect);
  // false when `timeout` passes first.
  bool waitUntilNoConnections(std::chrono::milliseconds timeout) const;

 private:
  struct Socket;
  struct Entry;
  struct Settings;

  void switchOn();
  void switchOff();
  std::vector<std::unique_ptr<Socket>> bindAll(std::uint16_t& port, bool second) const;
  void acceptLoop(const Socket& socket);
  void acceptingFailed(const Socket& socket, const char* call, int error);
  void startConnection(int fd, bool second);
  bool overLimit(const std::string& address) const;
  // Sends "Too many connections." to a client turned away, without waiting for it.
  static void refuse(int fd);
  void forgetAddress(const std::string& address);
  void reapLoop();
  static void* connectionMain(void* arg);
  static void serve(Entry& entry, const Settings& settings);

  std::uint16_t defaultPort_ = 23;
  std::u16string loginMessage_ = u"Have a lot of fun...";
  std::vector<std::string> bindings_;
  HandlerFactory factory_;
  std::uint16_t secondPort_ = 0;
  StreamServer secondServer_;
  std::function<void()> switchOffHook_;
  RefusalHook refusalHook_;
  FailureHook failureHook_;
  AdmissionGate admissionGate_;
  std::size_t descriptorsPerConnection_[2] = {0, 0};
  std::size_t descriptorBudget_ = 0;
  std::size_t stackSize_ = kDefaultStackSize;
  std::chrono::milliseconds writeLimit_ = kDefaultWriteLimit;
  std::size_t maxConnections_ = 0;
  std::size_t maxPerAddress_ = 0;

  bool active_ = false;
  std::uint16_t boundPort_ = 0;
  std::uint16_t boundSecondPort_ = 0;
  std::vector<std::unique_ptr<Socket>> sockets_;
  std::vector<std::thread> acceptThreads_;
  platform::UniqueFd wakeRead_, wakeWrite_;  // the pipe that wakes the accept threads
  std::shared_ptr<const Settings> settings_;

  mutable std::mutex mutex_;  // guards entries_ and stopping_
  mutable std::condition_variable changed_;
  std::list<Entry> entries_;                       // connections whose threads run
  std::list<Entry> finished_;                      // threads done, waiting to be joined
  std::map<std::string, std::size_t> perAddress_;  // running connections by client address
  std::size_t descriptorsHeld_ = 0;                // by running connections, as counted
  bool stopping_ = false;
  std::thread reaper_;
};

}  // namespace velmar::telnet
