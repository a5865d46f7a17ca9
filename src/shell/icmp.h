#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

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

// The pieces of Ping that deal with packets, open for tests.

// An echo request with identifier `id`, sequence number `seq`, 32 data bytes and its
// checksum.
std::vector<std::uint8_t> EchoRequest(std::uint16_t id, std::uint16_t seq);

enum class ReplyKind {
  Unrelated,    // not about our request (other traffic, our own request seen on loopback)
  Answer,       // the echo reply to our request
  ErrorReport,  // an error report (unreachable, time exceeded, ...) quoting our request
};

// What one received message means for the request (`id`, `seq`) sent to `target`.
// `datagram`: the message came from a datagram socket, which hands over the ICMP message
// alone and has matched the identifier already; otherwise from a raw socket, with the IP
// header in front. Truncated or malformed messages are Unrelated.
ReplyKind ClassifyReply(std::span<const std::uint8_t> message, bool datagram,
                        const platform::IPv4Address& target, std::uint16_t id, std::uint16_t seq);

}  // namespace velmar::shell::icmp
