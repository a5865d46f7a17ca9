#pragma once

// Internal to the json module: the shared node behind a JsonValue, and the helpers that the
// reader and writer use to build and walk values without touching reference counts.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json/value.h"

namespace velmar::json::detail {

// The nodes of one parse come from one arena: a few large blocks instead of one allocation per
// value. The arena counts its live nodes and goes when the last of them is destroyed, on
// whatever thread that happens. Values made one by one (Make*, ArrayOf) have no arena.
class Arena {
 public:
  // An arena for a text of `textLength` code units, held by its parser until Seal.
  static Arena* Create(std::size_t textLength);

  // Memory for one node of `size` bytes (at most kMaxNodeSize).
  void* Allocate(std::size_t size) {
    size = (size + 7) & ~std::size_t{7};
    if (size > left_) Grow();
    void* at = next_;
    next_ += size;
    left_ -= size;
    ++created_;
    return at;
  }

  // The parser is done: from now on the arena lives as long as its nodes. Destroys the arena
  // when none is left.
  void Seal() noexcept;

  // `count` nodes of this arena were destroyed.
  void Release(std::int64_t count) noexcept;

  static constexpr std::size_t kMaxNodeSize = 64;

 private:
  struct Block {
    Block* next;
  };
  static constexpr std::int64_t kParserHold = std::int64_t{1} << 50;

  Arena() = default;
  ~Arena();
  void Grow();

  std::atomic<std::int64_t> live_{kParserHold};
  std::int64_t created_ = 0;
  Block* blocks_ = nullptr;
  char* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t blockSize_ = 0;
};

struct Node {
  explicit Node(JsonType kind, Arena* from = nullptr) noexcept : type(kind), arena(from) {}

  std::atomic<std::int32_t> refCount{1};
  bool processing = false;  // set while the writer is inside this container
  JsonType type;
  union {
    bool boolean;
    double dbl;
    std::int64_t integer;  // stInt, and stCurrency in ten-thousandths
  };
  Arena* arena;  // where the node's memory comes from; nullptr: the heap
};

struct StringNode : Node {
  explicit StringNode(std::u16string value, Arena* from = nullptr) noexcept
      : Node(JsonType::stString, from), text(std::move(value)) {}
  std::u16string text;
};

struct ObjectNode : Node {
  explicit ObjectNode(Arena* from = nullptr) noexcept : Node(JsonType::stObject, from) {}
  JsonTable table;
};

struct ArrayNode : Node {
  explicit ArrayNode(Arena* from = nullptr) noexcept : Node(JsonType::stArray, from) {}
  JsonArray array;
};

static_assert(sizeof(StringNode) <= Arena::kMaxNodeSize &&
              sizeof(ObjectNode) <= Arena::kMaxNodeSize &&
              sizeof(ArrayNode) <= Arena::kMaxNodeSize);

inline const std::u16string& TextOf(const Node* node) {
  return static_cast<const StringNode*>(node)->text;
}
inline JsonTable& TableOf(Node* node) {
  return static_cast<ObjectNode*>(node)->table;
}
inline JsonArray& ArrayOf(Node* node) {
  return static_cast<ArrayNode*>(node)->array;
}

struct Access {
  static std::vector<JsonTable::Entry>& Entries(JsonTable& table) { return table.entries_; }
  static std::vector<JsonValue>& Items(JsonArray& array) { return array.items_; }
  static void FinishAppend(JsonTable& table) { table.FinishAppend(); }
};

// Nodes are created uncounted; the creator adds them to the live count (in bulk, for the
// reader) with CountCreated.
void CountCreated(std::int64_t count) noexcept;

// Windows-1252: the UTF-16 code unit of a byte. The five bytes that the code page leaves
// undefined map to the control characters of the same value.
extern const char16_t kCodePageHigh[32];  // bytes 0x80 to 0x9F
inline char16_t CodePageUnit(unsigned char byte) noexcept {
  return (byte & 0xE0) == 0x80 ? kCodePageHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

}  // namespace velmar::json::detail
