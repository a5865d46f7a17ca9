#pragma once

namespace velmar::testing {

// A TCP port on 127.0.0.1 that was free a moment ago: bound once and released, for a server
// that must not be there.
int UnusedLoopbackPort();

// Whether this host can bind the IPv6 loopback address (containers often have no IPv6).
bool HostHasIpv6Loopback();

// Whether this process may open an ICMP socket: a datagram one (net.ipv4.ping_group_range) or
// a raw one (CAP_NET_RAW). Asked of the system, never of the code that pings, so that a broken
// ping fails its tests instead of skipping them.
bool HostAllowsIcmpSockets();

}  // namespace velmar::testing
