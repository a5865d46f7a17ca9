// The "archive" key of a variable in the tree file (docs/tree-format.md): whether and how the
// variable is logged, with its history given record by record or made by a generator.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/archive.h"
#include "sim/tree_reader.h"

namespace velmar::sim {

// Reads the archive part of variable `object` (of `type`) from `source` and fills its log up
// to `now`. Fails with the object named for every fault.
std::shared_ptr<ArchiveLog> ReadArchive(const std::string& where, const Json& source,
                                        VariableType type, int64_t now);

}  // namespace velmar::sim
