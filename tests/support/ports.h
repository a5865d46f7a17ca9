#pragma once

namespace velmar::testing {

// A TCP port on 127.0.0.1 that was free a moment ago: bound once and released, for a server
// that must not be there.
int UnusedLoopbackPort();

// Whether this host can bind the IPv6 loopback address (containers often have no IPv6).
bool HostHasIpv6Loopback();

}  // namespace velmar::testing
