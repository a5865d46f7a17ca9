#include "json/member_order.h"

#include <algorithm>
#include <new>
#include <utility>

#include "json/node.h"

namespace velmar::json::detail {

namespace {

using Member = MemberOrder::Member;

bool SameMember(const Member& a, const Member& b) {
  return a.hash == b.hash && CompareNames(a.Name(), b.Name()) == 0;
}

}  // namespace

void MemberOrder::Sort(const Member* first, std::size_t count) {
  // By hash alone first, as one integer each: the greater hash first, then the sequence read.
  keys_.resize(count);
  for (std::size_t i = 0; i < count; ++i)
    keys_[i] = std::uint64_t{~first[i].hash} << 32 | static_cast<std::uint32_t>(i);
  if (count <= 32) {
    for (std::size_t i = 1; i < count; ++i) {
      const std::uint64_t moving = keys_[i];
      std::size_t j = i;
      for (; j > 0 && moving < keys_[j - 1]; --j) keys_[j] = keys_[j - 1];
      keys_[j] = moving;
    }
  } else {
    std::sort(keys_.begin(), keys_.end());
  }
  order_.resize(count);
  for (std::size_t i = 0; i < count; ++i) order_[i] = static_cast<std::uint32_t>(keys_[i]);
  // Equal hashes (rare) order by name; ties (a repeated name) keep the sequence read, so that
  // the last of a run is the later value.
  auto before = [first](std::uint32_t a, std::uint32_t b) {
    const int order = CompareNames(first[a].Name(), first[b].Name());
    return order != 0 ? order < 0 : a < b;
  };
  for (std::size_t runStart = 0; runStart < count;) {
    std::size_t runEnd = runStart + 1;
    while (runEnd < count && first[order_[runEnd]].hash == first[order_[runStart]].hash) ++runEnd;
    if (runEnd - runStart > 1)
      std::sort(order_.begin() + runStart, order_.begin() + runEnd, before);
    runStart = runEnd;
  }
}

std::size_t MemberOrder::Arrange(Member* first, std::size_t count, Member* into) {
  const bool known =
      count == knownHashes_.size() &&
      std::equal(knownHashes_.begin(), knownHashes_.end(), first,
                 [](std::uint32_t hash, const Member& member) { return hash == member.hash; });
  if (known) {
    // All hashes differ, so they alone decide the order and no name repeats.
    for (std::size_t k = 0; k < count; ++k) new (&into[k]) Member(std::move(first[knownOrder_[k]]));
    return count;
  }
  Sort(first, count);
  bool hashesDiffer = true;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t index = order_[k];
    if (k + 1 < count && first[index].hash == first[order_[k + 1]].hash) {
      hashesDiffer = false;
      if (SameMember(first[index], first[order_[k + 1]])) continue;  // a later value follows
    }
    new (&into[kept++]) Member(std::move(first[index]));
  }
  if (hashesDiffer && count > 1) {
    knownHashes_.resize(count);
    for (std::size_t i = 0; i < count; ++i) knownHashes_[i] = first[i].hash;
    knownOrder_.assign(order_.data(), order_.size());
  }
  return kept;
}

}  // namespace velmar::json::detail
