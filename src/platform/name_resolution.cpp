#include "platform/name_resolution.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace velmar::platform {

IPv4Resolution ResolveIPv4(const std::string& hostname) {
  IPv4Resolution result;
  // getaddrinfo reads a string up to its first NUL; a name holding one would be looked up
  // as something else than was asked for.
  if (hostname.empty() || hostname.find('\0') != std::string::npos) return result;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_RAW;  // one entry per address instead of one per socket type
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(hostname.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    // A name that is known but carries only other address families.
#ifdef EAI_NODATA
    if (rc == EAI_NODATA) result.status = ResolveStatus::NoAddress;
#endif
#ifdef EAI_ADDRFAMILY
    if (rc == EAI_ADDRFAMILY) result.status = ResolveStatus::NoAddress;
#endif
    return result;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, &freeaddrinfo);
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
        entry->ai_addrlen < sizeof(sockaddr_in)) {
      continue;
    }
    sockaddr_in in{};
    std::memcpy(&in, entry->ai_addr, sizeof in);
    std::memcpy(result.address.data(), &in.sin_addr.s_addr, 4);
    result.status = ResolveStatus::Resolved;
    return result;
  }
  result.status = ResolveStatus::NoAddress;
  return result;
}

std::string FormatIPv4(const IPv4Address& address) {
  std::string text;
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i != 0) text += '.';
    text += std::to_string(address[i]);
  }
  return text;
}

}  // namespace velmar::platform
