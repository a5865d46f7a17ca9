#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmar::testing {

// A byte-exact Telnet test client: sends raw bytes and reads what the server sends, always
// with a deadline, so that a test fails instead of hanging. Failures (connect refused,
// deadline passed, connection closed before the expected bytes) raise velmar::Error with
// what was received so far.
class TelnetClient {
 public:
  using Duration = std::chrono::milliseconds;
  static constexpr Duration kDefaultTimeout{5000};

  // Connects to `host` (numeric IPv4 or IPv6) at `port`.
  TelnetClient(const std::string& host, std::uint16_t port);
  explicit TelnetClient(std::uint16_t port) : TelnetClient("127.0.0.1", port) {}
  ~TelnetClient();
  TelnetClient(const TelnetClient&) = delete;
  TelnetClient& operator=(const TelnetClient&) = delete;

  void send(std::string_view bytes);

  // Exactly `count` bytes.
  std::string readExactly(std::size_t count, Duration timeout = kDefaultTimeout);
  // Everything up to and including the first occurrence of `marker`.
  std::string readUntil(std::string_view marker, Duration timeout = kDefaultTimeout);
  // Everything until the server closes the connection.
  std::string readToEnd(Duration timeout = kDefaultTimeout);
  // Whatever arrives within `window` (possibly nothing); for checking that nothing came.
  std::string readFor(Duration window);

  // True when the server has closed the connection within `timeout` (bytes that arrive
  // meanwhile are kept for the next read).
  bool waitClosed(Duration timeout = kDefaultTimeout);

  // Ends the client's side of the connection (the server sees end of input).
  void shutdownWrite();
  void close();

 private:
  // Reads more into pending_; false on end of stream, throws on timeout.
  bool fill(std::chrono::steady_clock::time_point deadline, bool throwOnTimeout = true);
  [[noreturn]] void fail(const std::string& what) const;

  int fd_ = -1;
  bool eof_ = false;
  std::string pending_;
};

}  // namespace velmar::testing
