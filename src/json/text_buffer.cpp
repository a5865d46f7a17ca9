#include "json/text_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace velmar::json::detail {

namespace {

// From this size on a buffer has a mapping of its own.
constexpr std::size_t kMapBytes = std::size_t{1} << 20;

std::size_t PageRounded(std::size_t bytes) {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

void* MapFresh(std::size_t bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return block;
}

}  // namespace

void FreeText(const OwnedText& text) noexcept {
  if (text.block == nullptr) return;
  if (text.mapped) {
    ::munmap(text.block, text.bytes);
  } else {
    std::free(text.block);
  }
}

void TextBuffer::Grow(std::size_t count) {
  if (count > (SIZE_MAX / 2 - size_) / 2) throw std::bad_alloc();
  const std::size_t units = std::max({size_ + count, capacity_ * 2, std::size_t{64}});
  std::size_t bytes = units * sizeof(char16_t);
  if (bytes >= kMapBytes) {
    bytes = PageRounded(bytes);
    void* block;
    if (owned_.mapped) {
      block = ::mremap(owned_.block, owned_.bytes, bytes, MREMAP_MAYMOVE);
      if (block == MAP_FAILED) throw std::bad_alloc();
    } else {
      block = MapFresh(bytes);
      if (size_ != 0) std::memcpy(block, owned_.block, size_ * sizeof(char16_t));
      std::free(owned_.block);
    }
    owned_ = {block, bytes, true};
  } else {
    void* block = std::realloc(owned_.block, bytes);
    if (block == nullptr) throw std::bad_alloc();
    owned_ = {block, bytes, false};
  }
  capacity_ = bytes / sizeof(char16_t);
}

OwnedText TextBuffer::Release() noexcept {
  OwnedText text = owned_;
  const std::size_t used = std::max<std::size_t>(size_, 1) * sizeof(char16_t);
  if (text.mapped) {
    // Shrinking a mapping never moves it; the pages past the text go back at once.
    const std::size_t keep = PageRounded(used);
    if (keep < text.bytes && ::mremap(text.block, text.bytes, keep, 0) != MAP_FAILED)
      text.bytes = keep;
  } else if (text.block != nullptr && used < text.bytes) {
    if (void* shrunk = std::realloc(text.block, used); shrunk != nullptr) text = {shrunk, used};
  }
  owned_ = {};
  size_ = 0;
  capacity_ = 0;
  return text;
}

}  // namespace velmar::json::detail
