#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "core/error.h"
#include "json/value.h"

namespace velmar::json {

JsonArray::~JsonArray() {
  for (std::uint32_t i = 0; i < length_; ++i) items_[i].~JsonValue();
  if (capacity_ != 0) std::free(items_);
}

void JsonArray::Grow() {
  if (length_ == std::numeric_limits<std::uint32_t>::max()) throw Error("JSON array too large");
  const std::size_t count =
      std::min<std::size_t>(std::max<std::size_t>(std::size_t{length_} * 2, 4),
                            std::numeric_limits<std::uint32_t>::max());
  // A handle moves as its pointer alone: nothing else refers to it.
  void* moved;
  if (capacity_ != 0) {
    moved = std::realloc(static_cast<void*>(items_), count * sizeof(JsonValue));
  } else {
    // The first growth also moves elements read into an arena to memory of the array's own.
    moved = std::malloc(count * sizeof(JsonValue));
    if (moved != nullptr && length_ != 0) std::memcpy(moved, items_, length_ * sizeof(JsonValue));
  }
  if (moved == nullptr) throw std::bad_alloc();
  items_ = static_cast<JsonValue*>(moved);
  capacity_ = static_cast<std::uint32_t>(count);
}

std::size_t JsonArray::Add(JsonValue value) {
  if (capacity_ == 0 || length_ == capacity_) Grow();  // 0: the elements are not its own
  new (&items_[length_]) JsonValue(std::move(value));
  return length_++;
}

JsonValue JsonArray::operator[](std::size_t index) const {
  return index < length_ ? items_[index] : JsonValue();
}

}  // namespace velmar::json
