#pragma once

// Numeric socket addresses (IPv4 and IPv6): parsed from text, written as text, read from a
// socket. No name is ever looked up here.

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmar::platform {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const noexcept { return storage.ss_family; }
  const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
  std::uint16_t port() const noexcept;
};

// `host` as a numeric IPv4 or IPv6 address (either may stand in brackets) with `port`;
// nothing for any other text, host names included.
std::optional<SocketAddress> ParseNumericAddress(std::string_view host, std::uint16_t port);

// The address as text: "192.168.1.5:23", "[::1]:23".
std::string FormatEndpoint(const SocketAddress& address);

// The address of the socket's peer, or of its own end; nothing when the socket has none or
// it is neither IPv4 nor IPv6.
std::optional<SocketAddress> PeerAddress(int fd);
std::optional<SocketAddress> LocalAddress(int fd);

}  // namespace velmar::platform
