#include "json/name_table.h"

#include <cstring>
#include <limits>
#include <vector>

namespace velmar::json::detail {

namespace {

// A parse keeps at most this many names here; the rest (a reply of ever new names) is kept
// without looking for it again.
constexpr std::size_t kMaxNames = 4096;
// How far a name is looked for past its first slot.
constexpr std::size_t kMaxProbes = 8;

// A cheap spread of a name over the slots: its length and three of its units.
std::size_t Spread(const char16_t* text, std::size_t length) {
  std::size_t h = length * 0x9E3779B1u;
  if (length != 0) h = (h ^ text[0]) * 31 + text[length / 2] * 7 + text[length - 1];
  return h ^ (h >> 7);
}

}  // namespace

NameTable::Name NameTable::Keep(const char16_t* text, std::size_t length) {
  auto* copy = static_cast<char16_t*>(arena_.Allocate(length * sizeof(char16_t)));
  if (length != 0) std::memcpy(copy, text, length * sizeof(char16_t));
  return Name{copy, static_cast<std::uint32_t>(length),
              JsonTable::Hash(std::u16string_view(text, length))};
}

NameTable::Name NameTable::Intern(const char16_t* text, std::size_t length) {
  if (length > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  if (slots_.empty()) {
    slots_.resize(64);
    std::memset(slots_.data(), 0, slots_.size() * sizeof(Name));
  }
  const std::size_t mask = slots_.size() - 1;
  const std::size_t start = Spread(text, length);
  for (std::size_t probe = 0; probe < kMaxProbes; ++probe) {
    Name& slot = slots_[(start + probe) & mask];
    if (slot.text == nullptr) {
      const Name name = Keep(text, length);
      if (used_ < kMaxNames) {
        slot = name;
        // Room to spare keeps the probes short.
        if (++used_ * 2 > slots_.size() && slots_.size() < kMaxNames * 2) Rehash();
      }
      return name;
    }
    if (slot.length == length && std::memcmp(slot.text, text, length * sizeof(char16_t)) == 0)
      return slot;
  }
  return Keep(text, length);
}

void NameTable::Rehash() {
  const std::vector<Name> old(slots_.begin(), slots_.end());
  slots_.resize(old.size() * 2);
  std::memset(slots_.data(), 0, slots_.size() * sizeof(Name));
  const std::size_t mask = slots_.size() - 1;
  for (const Name& name : old) {
    if (name.text == nullptr) continue;
    const std::size_t start = Spread(name.text, name.length);
    for (std::size_t probe = 0; probe < slots_.size(); ++probe) {
      Name& slot = slots_[(start + probe) & mask];
      if (slot.text == nullptr) {
        slot = name;
        break;
      }
    }
  }
}

}  // namespace velmar::json::detail
