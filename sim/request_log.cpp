#include "sim/request_log.h"

namespace velmar::sim {

void RequestLog::record(RecordedRequest request) {
  std::lock_guard lock(mutex_);
  if (recorded_.size() == kMaxRecorded) recorded_.pop_front();
  recorded_.push_back(std::move(request));
}

std::vector<RecordedRequest> RequestLog::requests() const {
  std::lock_guard lock(mutex_);
  return {recorded_.begin(), recorded_.end()};
}

void RequestLog::clear() {
  std::lock_guard lock(mutex_);
  recorded_.clear();
}

}  // namespace velmar::sim
