#pragma once

// Internal to the json module: the member names met in one parse, each kept once in the parse's
// arena with its hash. Records in an array repeat the same names, so most names are found
// here, and neither copied nor hashed again.

#include <cstddef>
#include <cstdint>
#include <new>

#include "json/inline_vector.h"
#include "json/node.h"

namespace velmar::json::detail {

class NameTable {
 public:
  struct Name {
    const char16_t* text;
    std::uint32_t length;
    std::uint32_t hash;  // JsonTable::Hash of the text
  };

  explicit NameTable(Arena& arena) : arena_(arena) {}

  // The name `text`, kept in the arena.
  Name Intern(const char16_t* text, std::size_t length);

 private:
  Name Keep(const char16_t* text, std::size_t length);
  void Rehash();

  Arena& arena_;
  InlineVector<Name, 64> slots_;  // open addressing; text nullptr: free
  std::size_t used_ = 0;
};

}  // namespace velmar::json::detail
