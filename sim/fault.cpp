#include "sim/fault.h"

#include <utility>

namespace velmar::sim {

void FaultTable::set(const std::string& method, Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.insert_or_assign(method, std::move(fault));
}

void FaultTable::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::optional<Fault> FaultTable::meet(const std::string& method,
                                      std::optional<std::int64_t> firstParam) {
  std::lock_guard lock(mutex_);
  auto it = faults_.find(method);
  if (it == faults_.end()) it = faults_.find("");
  if (it == faults_.end() || (it->second.firstParam && it->second.firstParam != firstParam))
    return std::nullopt;
  Fault fault = it->second;
  if (fault.once) faults_.erase(it);
  return fault;
}

}  // namespace velmar::sim
