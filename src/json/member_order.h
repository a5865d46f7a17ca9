#pragma once

// Internal to the json module: puts the members of an object, as read, into member order (the
// greater hash first, then by name), a repeated name keeping the value read last.
//
// Records in an array usually list the same names in the same order, so the order found for
// one object is kept and reused for the next when its hashes come in the same sequence.

#include <cstddef>
#include <cstdint>

#include "json/inline_vector.h"
#include "json/node.h"

namespace velmar::json::detail {

class MemberOrder {
 public:
  using Member = Access::Member;

  // Moves the members [first, first + count) into the room at `into` in member order, and
  // returns how many there are there.
  std::size_t Arrange(Member* first, std::size_t count, Member* into);

 private:
  void Sort(const Member* first, std::size_t count);

  InlineVector<std::uint64_t, 32> keys_;
  InlineVector<std::uint32_t, 32> order_;
  // The hashes of the last object ordered whose hashes all differ, in the sequence read, and
  // the order found for it.
  InlineVector<std::uint32_t, 32> knownHashes_;
  InlineVector<std::uint32_t, 32> knownOrder_;
};

}  // namespace velmar::json::detail
