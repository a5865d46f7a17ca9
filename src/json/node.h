#pragma once

// Internal to the json module: the shared node behind a JsonValue, and the helpers that the
// reader and writer use to build and walk values without touching reference counts.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "json/value.h"

namespace velmar::json::detail {

struct Node {
  explicit Node(JsonType kind) noexcept : type(kind) {}

  std::atomic<std::int32_t> refCount{1};
  bool processing = false;  // set while the writer is inside this container
  JsonType type;
  union {
    bool boolean;
    double dbl;
    std::int64_t integer;  // stInt, and stCurrency in ten-thousandths
  };
};

struct StringNode : Node {
  explicit StringNode(std::u16string value) noexcept
      : Node(JsonType::stString), text(std::move(value)) {}
  std::u16string text;
};

struct ObjectNode : Node {
  ObjectNode() noexcept : Node(JsonType::stObject) {}
  JsonTable table;
};

struct ArrayNode : Node {
  ArrayNode() noexcept : Node(JsonType::stArray) {}
  JsonArray array;
};

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
