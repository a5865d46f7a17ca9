#include "driver.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace velmar::load {

Driver::Driver(int port, const Reference& ref) : port_(port), ref_(ref) {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) fail("epoll_create1");
}

Driver::~Driver() {
  closeAll();
  close(epoll_);
}

template <typename OnEvent>
void Driver::pump(int timeoutMs, OnEvent&& onEvent) {
  epoll_event events[256];
  const int n = epoll_wait(epoll_, events, 256, timeoutMs);
  for (int i = 0; i < n; ++i) {
    Session& s = sessions_[events[i].data.u64];
    if (s.state == Session::Failed || s.fd < 0) continue;
    if (s.state == Session::Connecting) {
      int error = 0;
      socklen_t len = sizeof error;
      getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len);
      if (error != 0) {
        endSession(s, onEvent);
        continue;
      }
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = events[i].data.u64;
      epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
      s.state = Session::Greeting;
    }
    if (!(events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
    for (;;) {
      const ssize_t got = recv(s.fd, chunk_, sizeof chunk_, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
      if (got <= 0) {
        endSession(s, onEvent);
        break;
      }
      const std::size_t count = static_cast<std::size_t>(got);
      const std::string& expected = *s.expected;
      if (s.state != Session::Greeting && s.state != Session::Running) {
        ++wrong_;  // text while no command runs
        endSession(s, onEvent);
        break;
      }
      if (s.received + count > expected.size() ||
          expected.compare(s.received, count, chunk_, count) != 0) {
        ++wrong_;
        if (wrongShown_++ < 3) {
          std::fprintf(stderr, "velmar-load: wrong reply after %zu of %zu bytes: %s\n", s.received,
                       expected.size(), std::string(chunk_, count).c_str());
        }
        endSession(s, onEvent);
        break;
      }
      s.received += count;
      if (s.received == expected.size()) onEvent(s, true);
      if (s.state == Session::Failed) break;
    }
  }
}

template <typename OnEvent>
void Driver::endSession(Session& s, OnEvent& onEvent) {
  const bool waiting =
      s.state == Session::Connecting || s.state == Session::Greeting || s.state == Session::Running;
  s.state = Session::Failed;
  epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
  if (waiting) onEvent(s, false);
}

bool Driver::open(std::size_t n, std::chrono::seconds limit) {
  sessions_.assign(n, Session{});
  std::size_t next = 0;
  std::size_t pending = 0;  // connecting or greeting
  const auto deadline = Clock::now() + limit;
  for (;;) {
    // Keep the listen queue short: a few dozen handshakes at a time.
    while (next < n && pending < 32) {
      Session& s = sessions_[next];
      s.fd = connectLoopback(port_, false);
      s.state = Session::Connecting;
      s.expected = &ref_.greeting;
      s.received = 0;
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLOUT;
      ev.data.u64 = next;
      epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev);
      ++next;
      ++pending;
    }
    if (pending == 0) break;
    if (Clock::now() > deadline) return false;
    pump(100, [&](Session& s, bool complete) {
      if (s.state == Session::Failed || complete) {
        if (complete) s.state = Session::Idle;
        --pending;
      }
    });
  }
  for (const auto& s : sessions_) {
    if (s.state != Session::Idle) return false;
  }
  return true;
}

PhaseResult Driver::run(long rounds, Clock::time_point until) {
  PhaseResult result;
  std::size_t active = 0;
  const long wrongBefore = wrong_;
  const auto start = Clock::now();
  for (auto& s : sessions_) {
    if (s.state != Session::Idle && s.state != Session::Done) continue;
    s.roundsLeft = rounds;
    s.command = 0;
    s.state = Session::Running;
    if (sendCommand(s)) {
      ++active;
    } else {
      ++result.failed;
    }
  }
  const auto hardDeadline = until + std::chrono::seconds(60);
  while (active > 0 && Clock::now() < hardDeadline) {
    pump(100, [&](Session& s, bool complete) {
      if (s.state == Session::Failed) {
        ++result.failed;
        --active;
        return;
      }
      if (!complete) return;
      result.latencies.push_back(seconds(Clock::now() - s.sent));
      if (s.command == kLsIndex) result.lsLatencies.push_back(result.latencies.back());
      ++result.commands;
      if (++s.command == kMix.size()) {
        s.command = 0;
        if (--s.roundsLeft <= 0 || Clock::now() >= until) {
          s.state = Session::Done;
          --active;
          return;
        }
      }
      if (!sendCommand(s)) {
        ++result.failed;
        --active;
      }
    });
  }
  for (auto& s : sessions_) {
    if (s.state == Session::Running) {
      ++result.failed;
      s.state = Session::Failed;
    }
  }
  result.wrong = wrong_ - wrongBefore;
  result.wallSeconds = seconds(Clock::now() - start);
  return result;
}

void Driver::closeAll() {
  for (auto& s : sessions_) {
    if (s.fd >= 0) close(s.fd);
    s.fd = -1;
  }
  sessions_.clear();
  wrong_ = 0;
}

bool Driver::sendCommand(Session& s) {
  s.expected = &ref_.replies[s.command];
  s.received = 0;
  s.sent = Clock::now();
  const std::string line = kMix[s.command] + "\r\n";
  // A command line is far below the socket buffer; a short write means a broken connection.
  if (send(s.fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    s.state = Session::Failed;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
    return false;
  }
  return true;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace velmar::load
