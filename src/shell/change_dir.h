#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "telnet/session.h"

namespace velmar::shell {

// The directory command (cd, cd.., cd\): makes another object the current category and sets
// the prompt to its path from the root. Targets are "..", "\" or "0" for the root, an ID, a
// child's name, or a link (whose target is entered). A refused change writes one line and
// changes nothing.
// The ID of the object that a directory argument names: ".." the current category's parent
// (the root for the root), "\" or "0" the root, a whole number that ID, anything else a
// child of the current category with that name. Nothing, after writing "Object not found: "
// and the argument, when no such object exists.
std::optional<std::int32_t> DestinationID(telnet::Session& session,
                                          const std::u16string& destination);

// A path from the root with more levels than this is taken for a broken server and ends the
// command the way a circle of parents does; real trees are a handful of levels deep.
inline constexpr std::size_t kMaxPathLevels = 1000;

void ChangeDir(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
