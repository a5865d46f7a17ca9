// `cd`, `ls` and `show` over a network of a given round trip, against the floor of the
// protocol over the same network.
#pragma once

#include "load_args.h"
#include "telnet_io.h"

namespace velmar::load {

// For each round trip of `args` (0 ms: plain loopback, without the proxy): velmar with and without
// kept connections against the requests of each command sent one after the other by a minimal
// client, a new connection each, through the same latency proxy.
void latencyRows(const Args& args, const Reference& ref);

}  // namespace velmar::load
