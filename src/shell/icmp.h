#pragma once

#include <cstdint>
#include <string>

#include "platform/name_resolution.h"

// ICMP echo ("ping") for the ping command.
namespace velmar::shell::icmp {

// Resolves `aip` (dotted-quad text or a host name, as bytes) to its first IPv4 address and
// stores it in `inAddr`. Fails with velmar::Error "invalid hostname or not reachable" when the
// name is unknown, and "Error on resolving IP from host" when it has no IPv4 address.
void TranslateStringToTInAddr(const std::string& aip, platform::IPv4Address& inAddr);

// Sends one echo request with 32 data bytes to `inetAddress` (resolved anew on every call
// with TranslateStringToTInAddr, whose failures pass to the caller) and waits up to `timeOut`
// milliseconds for the reply. True when the host answered; false on a time-out, when an
// error report (unreachable, time exceeded, ...) came back instead, or when no ICMP socket can
// be opened.
//
// Uses an unprivileged ICMP datagram socket where the host allows them for one of the
// process's groups (net.ipv4.ping_group_range), and a raw socket otherwise.
bool Ping(const std::string& inetAddress, std::uint32_t timeOut);

}  // namespace velmar::shell::icmp
