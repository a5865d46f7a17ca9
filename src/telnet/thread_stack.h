#pragma once

#include <cstddef>

namespace velmar::telnet {

// The stack of one connection thread, mapped by us rather than by the thread library: it is
// unmapped as soon as its thread has been joined, so an idle service gives back every stack
// that a busy hour used (the thread library would keep up to 40 MiB of them cached). A guard
// page below the stack turns an overflow into a crash instead of silent corruption.
class ThreadStack {
 public:
  ThreadStack() = default;
  ~ThreadStack();
  ThreadStack(const ThreadStack&) = delete;
  ThreadStack& operator=(const ThreadStack&) = delete;

  // Maps a stack of `bytes` (rounded up to whole pages); false when the system refuses.
  bool Map(std::size_t bytes);

  void* base() const { return base_; }  // the lowest usable address
  std::size_t size() const { return size_; }

 private:
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
  void* base_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmar::telnet
