#pragma once

// Internal to the json module: a growable array of plain values that keeps its first N in
// itself. A parse needs a few small working arrays; for a small reply they cost no allocation.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace velmar::json::detail {

template <typename T, std::size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  InlineVector() = default;
  ~InlineVector() {
    if (data_ != inline_) std::free(data_);
  }
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void push_back(const T& value) {
    if (size_ == capacity_) Grow(size_ + 1);
    data_[size_++] = value;
  }

  // New values (when it grows) are left as they are: the caller writes them.
  void resize(std::size_t size) {
    if (size > capacity_) Grow(size);
    size_ = size;
  }

  void assign(const T* first, std::size_t count) {
    resize(count);
    if (count != 0) std::memcpy(data_, first, count * sizeof(T));
  }

  // Gives away the heap memory holding the values (nullptr while they are held inline); the
  // array starts empty again. The memory is freed with std::free.
  T* ReleaseHeap() noexcept {
    if (data_ == inline_) return nullptr;
    T* heap = data_;
    data_ = inline_;
    size_ = 0;
    capacity_ = N;
    return heap;
  }

 private:
  void Grow(std::size_t needed) {
    const std::size_t capacity = std::max(needed, capacity_ * 2);
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    // realloc lets a large array grow in place (or by moving pages) rather than by a copy.
    void* grown = data_ == inline_ ? std::malloc(capacity * sizeof(T))
                                   : std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    if (data_ == inline_ && size_ != 0) std::memcpy(grown, inline_, size_ * sizeof(T));
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  T inline_[N];
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace velmar::json::detail
