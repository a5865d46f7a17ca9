#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace velmar::platform {

namespace {

std::optional<SocketAddress> Checked(const sockaddr_storage& storage, socklen_t length) {
  if (storage.ss_family != AF_INET && storage.ss_family != AF_INET6) return std::nullopt;
  SocketAddress address;
  address.storage = storage;
  address.length = length;
  return address;
}

}  // namespace

std::uint16_t SocketAddress::port() const noexcept {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  if (family() == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  return 0;
}

std::optional<SocketAddress> ParseNumericAddress(std::string_view host, std::uint16_t port) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string text(host);
  SocketAddress address;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  if (inet_pton(AF_INET, text.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    address.length = sizeof(sockaddr_in);
    return address;
  }
  address = {};
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    address.length = sizeof(sockaddr_in6);
    return address;
  }
  return std::nullopt;
}

std::string FormatEndpoint(const SocketAddress& address) {
  char host[INET6_ADDRSTRLEN] = {};
  const std::string port = std::to_string(address.port());
  if (address.family() == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr, host,
              sizeof host);
    return std::string(host) + ":" + port;
  }
  if (address.family() == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr, host,
              sizeof host);
    return "[" + std::string(host) + "]:" + port;
  }
  return {};
}

std::optional<SocketAddress> PeerAddress(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
  return Checked(storage, length);
}

std::optional<SocketAddress> LocalAddress(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
  return Checked(storage, length);
}

}  // namespace velmar::platform
