// The requests a simulated server received, for tests to look at.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velmar::sim {

// One HTTP request as it arrived: method, path, headers (grouped by name, in the order the HTTP
// parser keeps them), raw body bytes.
struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The latest requests, oldest first. Thread-safe.
class RequestLog {
 public:
  // A long-running server keeps this many, so that it does not grow without end.
  static constexpr std::size_t kMaxRecorded = 100000;

  void record(RecordedRequest request);
  std::vector<RecordedRequest> requests() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<RecordedRequest> recorded_;
};

}  // namespace velmar::sim
