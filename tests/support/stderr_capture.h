#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace velmar::testing {

// Collects everything written to the process's descriptor 2 while it lives (the service's log
// lines), through a pipe that a thread of its own drains. At the end stderr is put back and
// what was collected is copied to it, so that nothing written meanwhile is lost.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // The first whole line holding `needle`, waiting up to `timeout` for it; nothing then.
  std::optional<std::string> waitForLine(std::string_view needle,
                                         std::chrono::milliseconds timeout);
  // Everything collected so far.
  std::string text() const;

 private:
  void drain();

  int saved_ = -1;
  int readEnd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::thread reader_;
};

}  // namespace velmar::testing
