#pragma once

// Internal to the json module: a growable buffer of UTF-16 code units that a string value can
// take over whole when it is done, so that a long string is never copied once read.
//
// Large buffers live in mappings of their own and grow with mremap(2): the pages move instead
// of being copied, so a string of 60 MiB never needs 60 MiB more while it grows, and pages of
// the room reserved ahead stay untouched (not resident) until written.

#include <cstddef>

namespace velmar::json::detail {

// Memory holding text, given away by a TextBuffer: freed with FreeText.
struct OwnedText {
  void* block = nullptr;
  std::size_t bytes = 0;  // the size of the block as allocated
  bool mapped = false;    // a mapping of its own (munmap) rather than the heap (free)
};

void FreeText(const OwnedText& text) noexcept;

class TextBuffer {
 public:
  TextBuffer() = default;
  ~TextBuffer() { FreeText(owned_); }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  char16_t* data() noexcept { return static_cast<char16_t*>(owned_.block); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Room for `count` more code units after the end; raises std::bad_alloc when there is none.
  char16_t* Reserve(std::size_t count) {
    if (capacity_ - size_ < count) Grow(count);
    return data() + size_;
  }
  // The units up to `end` (inside the room given by Reserve) are now text.
  void CommitUpTo(const char16_t* end) noexcept { size_ = static_cast<std::size_t>(end - data()); }
  void Append(char16_t unit) {
    *Reserve(1) = unit;
    ++size_;
  }
  void Truncate(std::size_t size) noexcept { size_ = size; }
  void Clear() noexcept { size_ = 0; }

  // Gives the memory away, shrunk to the text; the buffer starts empty again.
  OwnedText Release() noexcept;

 private:
  void Grow(std::size_t count);

  OwnedText owned_;
  std::size_t size_ = 0;      // code units of text
  std::size_t capacity_ = 0;  // code units of room
};

}  // namespace velmar::json::detail
