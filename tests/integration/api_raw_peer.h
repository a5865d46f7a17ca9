#pragma once

// A loopback HTTP peer for what the simulated server cannot show: replies given byte for byte,
// a server that accepts and then never answers, and the state of each accepted connection as
// the server side sees it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmar::testing {

class RawHttpPeer {
 public:
  RawHttpPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("RawHttpPeer: cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    if (::pipe(stopPipe_) != 0) throw std::runtime_error("RawHttpPeer: pipe failed");
    thread_ = std::thread([this] { Serve(); });
  }

  ~RawHttpPeer() {
    char c = 0;
    (void)!::write(stopPipe_[1], &c, 1);
    thread_.join();
    for (int fd : connections_) ::close(fd);
    ::close(listener_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
  }

  int port() const { return port_; }

  // Every request is answered with these bytes, sent as they are.
  void SetRawReply(std::string bytes) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(bytes);
    silent_ = false;
  }

  // A 200 reply with this body and a Content-Length.
  void SetBody(const std::string& body, const std::string& statusLine = "HTTP/1.1 200 OK") {
    SetRawReply(statusLine + "\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  // Connections are accepted and never read from or answered.
  void SetSilent() {
    std::lock_guard lock(mutex_);
    silent_ = true;
  }

  std::vector<std::string> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  std::size_t Connections() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
  }

  // Waits until `count` replies have been sent whole (handed to the system).
  bool WaitForAnswers(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return answered_ >= count; });
  }
  std::size_t Answers() const {
    std::lock_guard lock(mutex_);
    return answered_;
  }

  bool WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_.size() >= count; });
  }

  // Whether the client has closed the connection accepted as number `index` (from 0),
  // waiting up to `timeout` for its FIN. The peer has read each request whole, so a readable
  // end of stream means the client's close.
  bool ClosedByClient(std::size_t index,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    int fd;
    {
      std::lock_guard lock(mutex_);
      fd = connections_.at(index);
    }
    pollfd ready{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

  // Whether that connection is still open from the client's side at this moment.
  bool OpenNow(std::size_t index) const { return !ClosedByClient(index, {}); }

 private:
  // One thread serves every connection: it accepts, and answers each request that a
  // connection completes, as often as the client sends one on it (HTTP/1.1 keep-alive).
  void Serve() {
    std::vector<std::pair<int, std::string>> active;  // connections read from, with their bytes
    for (;;) {
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      for (const auto& connection : active) fds.push_back({connection.first, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) return;
      if (fds[1].revents != 0) return;
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto& [fd, pending] = active[i - 2];
        char buffer[4096];
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
          fd = -1;  // the client is done with it; it stays open for the checks above
          continue;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        std::string request;
        while (TakeRequest(pending, request)) Answer(fd, request);
      }
      std::erase_if(active, [](const auto& connection) { return connection.first < 0; });
      if (fds[0].revents != 0) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        bool silent;
        {
          std::lock_guard lock(mutex_);
          connections_.push_back(fd);
          silent = silent_;
        }
        changed_.notify_all();
        if (!silent) active.emplace_back(fd, std::string());
      }
    }
  }

  void Answer(int fd, const std::string& request) {
    std::string reply;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      reply = reply_;
    }
    (void)!::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    {
      std::lock_guard lock(mutex_);
      ++answered_;
    }
    changed_.notify_all();
  }

  // Takes the head and the Content-Length body of one request from the front of `pending`;
  // false while it is not complete.
  static bool TakeRequest(std::string& pending, std::string& request) {
    std::size_t headEnd = pending.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    std::string head = pending.substr(0, headEnd);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t at = head.find("\r\ncontent-length:");
    std::size_t body = at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
    std::size_t needed = headEnd + 4 + body;
    if (pending.size() < needed) return false;
    request = pending.substr(0, needed);
    pending.erase(0, needed);
    return true;
  }

  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> connections_;
  std::vector<std::string> requests_;
  std::size_t answered_ = 0;
  std::string reply_ = "HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n{\"result\":true}";
  bool silent_ = false;
};

}  // namespace velmar::testing
