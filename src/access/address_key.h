// What the login limits count by. An IPv4 client is one address; an IPv6 client is its /64
// network, since one host is routinely given a whole /64 and could otherwise start afresh
// from each of its 2^64 addresses.
#pragma once

#include <string>

namespace velmar::access {

// The address part of a peer text such as "127.0.0.1:5555" or "[::1]:5555".
std::string AddressOfPeer(const std::string& peer);

// The key the limits count `peer` (or a bare address) under: "192.0.2.7", or the /64 of an
// IPv6 address ("[2001:db8:1:2::]/64"); an IPv4-mapped IPv6 address counts as its IPv4
// address. Text that is no address is its own key.
std::string LimitKeyOf(const std::string& peer);

}  // namespace velmar::access
