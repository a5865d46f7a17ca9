#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velmar::platform {

// An IPv4 address as its four bytes in network order (the first byte is the first number of
// the dotted quad).
using IPv4Address = std::array<std::uint8_t, 4>;

enum class ResolveStatus {
  Resolved,   // `address` holds the first IPv4 address
  NotFound,   // the name is unknown, or the resolver could not be asked
  NoAddress,  // the name exists but has no IPv4 address
};

struct IPv4Resolution {
  ResolveStatus status = ResolveStatus::NotFound;
  IPv4Address address{};
};

// Looks `hostname` up with the host's resolver (files, DNS, ...) and returns its first IPv4
// address; dotted-quad text is accepted too and needs no look-up. `hostname` is passed on as
// its bytes. The empty name resolves to nothing. Blocks for as long as the resolver takes.
IPv4Resolution ResolveIPv4(const std::string& hostname);

// `address` as dotted-quad text ("127.0.0.1").
std::string FormatIPv4(const IPv4Address& address);

}  // namespace velmar::platform
