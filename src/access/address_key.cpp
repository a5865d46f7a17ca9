#include "access/address_key.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace velmar::access {

std::string AddressOfPeer(const std::string& peer) {
  if (!peer.empty() && peer.front() == '[') {
    const auto close = peer.find(']');
    return close == std::string::npos ? peer : peer.substr(0, close + 1);
  }
  const auto colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

std::string LimitKeyOf(const std::string& peer) {
  const std::string address = AddressOfPeer(peer);
  if (address.size() < 2 || address.front() != '[' || address.back() != ']') return address;
  const std::string inner = address.substr(1, address.size() - 2);
  in6_addr ip{};
  if (::inet_pton(AF_INET6, inner.c_str(), &ip) != 1) return address;
  char text[INET6_ADDRSTRLEN] = {};
  if (IN6_IS_ADDR_V4MAPPED(&ip)) {
    ::inet_ntop(AF_INET, &ip.s6_addr[12], text, sizeof text);
    return text;
  }
  std::memset(&ip.s6_addr[8], 0, 8);
  ::inet_ntop(AF_INET6, &ip, text, sizeof text);
  return "[" + std::string(text) + "]/64";
}

}  // namespace velmar::access
