// How many files (sockets, pipes, files) the process may have open at once, and how many it
// has: every connection needs descriptors, and running out of them breaks the sessions that
// are already in.
#pragma once

#include <cstddef>
#include <limits>

namespace velmar::platform {

inline constexpr std::size_t kNoOpenFileLimit = std::numeric_limits<std::size_t>::max();

// Raises the soft limit of open files to the hard limit (as far as the system allows), at
// start; returns the soft limit then in force.
std::size_t RaiseOpenFileLimit();
// The soft limit of open files; kNoOpenFileLimit when there is none.
std::size_t OpenFileLimit();
// The descriptors open in the process right now.
std::size_t OpenDescriptorCount();

}  // namespace velmar::platform
