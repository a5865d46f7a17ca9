// `watch` against the floor of the protocol: one round over the variables of the big category,
// over a network of a given round trip, and many sessions watching at once.
#pragma once

#include "load_args.h"

namespace velmar::load {

// For each round trip of `args.watchRoundTrips` (0: plain loopback): the time of one watch
// round as velmar reports it on its status line, against the same requests sent by a minimal
// client with as many in flight as velmar has (4, on kept connections), and velmar's CPU time
// per round; then `args.watchSessions` sessions watching at once, and how well they keep their
// interval.
void watchRows(const Args& args);

}  // namespace velmar::load
