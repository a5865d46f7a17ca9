#include "telnet/thread_stack.h"

#include <sys/mman.h>
#include <unistd.h>

namespace velmar::telnet {

namespace {

// The thread sanitizer keeps a large per-thread block (its static TLS) on every stack it did
// not map itself and refuses stacks without room for it; give it that room on top.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t kSanitizerReserve = std::size_t{1} << 20;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr std::size_t kSanitizerReserve = std::size_t{1} << 20;
#else
constexpr std::size_t kSanitizerReserve = 0;
#endif
#else
constexpr std::size_t kSanitizerReserve = 0;
#endif

}  // namespace

ThreadStack::~ThreadStack() {
  if (mapping_ != nullptr) ::munmap(mapping_, mappingSize_);
}

bool ThreadStack::Map(std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t size = (bytes + kSanitizerReserve + page - 1) / page * page;
  void* mapping = ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) return false;
  if (::mprotect(mapping, page, PROT_NONE) != 0) {
    ::munmap(mapping, size + page);
    return false;
  }
  if (mapping_ != nullptr) ::munmap(mapping_, mappingSize_);
  mapping_ = mapping;
  mappingSize_ = size + page;
  base_ = static_cast<char*>(mapping) + page;
  size_ = size;
  return true;
}

}  // namespace velmar::telnet
