#pragma once

// Internal to the json module: the shared node behind a JsonValue, the arena that a parse
// builds its nodes in, and the helpers that the reader and writer use to build and walk values
// without touching reference counts.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/text_buffer.h"
#include "json/value.h"

// Under AddressSanitizer the arena keeps what it has not handed out poisoned, so that a write
// past the end of a list or a text in the arena is caught like one on the heap.
#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace velmar::json::detail {

// Everything one parse builds comes from one arena: nodes, the text of names and strings,
// member tables and element lists, in a few blocks instead of one allocation each. The arena
// counts its live nodes and goes when the last of them is destroyed, on whatever thread that
// happens. Values made one by one (Make*, ArrayOf) have no arena.
//
// Nodes sit in pages of their own, each of which begins with the arena's address: a node
// finds its arena from its own address and needs no field for it.
class Arena {
 public:
  // An arena held by its parser until Seal.
  static Arena* Create();

  // The arena of a node that has one.
  static Arena* Of(const void* node) noexcept {
    const auto page = reinterpret_cast<std::uintptr_t>(node) & ~(kPageBytes - 1);
    return reinterpret_cast<const PageHead*>(page)->arena;
  }

  // Memory for one node of `size` bytes (at most kMaxNodeBytes).
  void* AllocateNode(std::size_t size) {
    size = (size + 7) & ~std::size_t{7};
    if (size > nodeLeft_) NewNodePage();
    void* at = nodeNext_;
    nodeNext_ += size;
    nodeLeft_ -= size;
    ++created_;
    ASAN_UNPOISON_MEMORY_REGION(at, size);
    return at;
  }

  // Memory for `size` bytes that live as long as the arena (text, tables, lists).
  void* Allocate(std::size_t size) {
    const std::size_t used = size;
    size = (size + 7) & ~std::size_t{7};
    if (size > left_) return AllocateSlow(size, used);
    void* at = next_;
    next_ += size;
    left_ -= size;
    ASAN_UNPOISON_MEMORY_REGION(at, used);
    return at;
  }

  // The parser is done: from now on the arena lives as long as its nodes. Destroys the arena
  // when none is left.
  void Seal() noexcept;

  // `count` nodes of this arena were destroyed.
  void Release(std::int64_t count) noexcept;

  static constexpr std::size_t kPageBytes = 4096;
  static constexpr std::size_t kMaxNodeBytes = 64;

 private:
  struct Block {
    Block* next;
    std::size_t bytes;
  };
  struct PageHead {
    Arena* arena;
    PageHead* nextChunk;     // in the first page of a chunk: the chunk made before it,
    std::size_t chunkBytes;  // and the size of this chunk
  };
  static constexpr std::int64_t kParserHold = std::int64_t{1} << 50;

  Arena() = default;
  ~Arena();
  static void Destroy(Arena* arena) noexcept;
  void* AllocateSlow(std::size_t size, std::size_t used);
  void* NewBlock(std::size_t bytes);
  void NewNodePage();

  std::atomic<std::int64_t> live_{kParserHold};
  std::int64_t created_ = 0;
  // Memory for everything but nodes.
  Block* blocks_ = nullptr;
  char* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t blockSize_ = 0;
  // Memory for nodes: chunks of whole pages.
  PageHead* chunks_ = nullptr;
  char* nodeNext_ = nullptr;
  std::size_t nodeLeft_ = 0;
  char* freePages_ = nullptr;  // the pages of the last chunk not used yet
  char* chunkEnd_ = nullptr;
  std::size_t chunkBytes_ = 0;
};

struct Node {
  explicit Node(JsonType kind, Arena* from = nullptr) noexcept
      : type(kind), inArena(from != nullptr) {}

  // The arena the node's memory comes from; nullptr: the heap.
  Arena* arena() const noexcept { return inArena ? Arena::Of(this) : nullptr; }

  std::atomic<std::int32_t> refCount{1};
  bool processing = false;  // set while the writer is inside this container
  JsonType type;
  bool ownsText = false;  // a string whose text is memory of its own (an OwningStringNode)
  bool inArena;
  union {
    bool boolean;
    double dbl;
    std::int64_t integer;  // stInt, and stCurrency in ten-thousandths
  };
};

// A string: `length` code units at `text`. The text is in the arena, right behind the node (a
// node made by MakeString), or in memory of its own (OwningStringNode).
struct StringNode : Node {
  StringNode(const char16_t* units, std::size_t count, Arena* from) noexcept
      : Node(JsonType::stString, from), text(units), length(count) {}

  // Where the text of a node at `node` goes when it follows the node.
  static char16_t* TextBehind(void* node) noexcept {
    return reinterpret_cast<char16_t*>(static_cast<char*>(node) + sizeof(StringNode));
  }
  static std::size_t SizeWithText(std::size_t count) noexcept {
    return sizeof(StringNode) + count * sizeof(char16_t);
  }

  const char16_t* text;
  std::size_t length;
};

// A long string read whole into a buffer that the node took over.
struct OwningStringNode : StringNode {
  OwningStringNode(OwnedText ownText, std::size_t count, Arena* from) noexcept
      : StringNode(static_cast<const char16_t*>(ownText.block), count, from), own(ownText) {
    ownsText = true;
  }
  ~OwningStringNode() { FreeText(own); }
  OwningStringNode(const OwningStringNode&) = delete;
  OwningStringNode& operator=(const OwningStringNode&) = delete;

  OwnedText own;
};

struct ObjectNode : Node {
  explicit ObjectNode(Arena* from = nullptr) noexcept : Node(JsonType::stObject, from) {}
  JsonTable table;
};

struct ArrayNode : Node {
  explicit ArrayNode(Arena* from = nullptr) noexcept : Node(JsonType::stArray, from) {}
  JsonArray array;
};

static_assert(sizeof(Node) == 16 && sizeof(OwningStringNode) <= Arena::kMaxNodeBytes &&
              sizeof(ObjectNode) <= Arena::kMaxNodeBytes &&
              sizeof(ArrayNode) <= Arena::kMaxNodeBytes);

inline std::u16string_view TextOf(const Node* node) {
  const auto* string = static_cast<const StringNode*>(node);
  return {string->text, string->length};
}
inline JsonTable& TableOf(Node* node) {
  return static_cast<ObjectNode*>(node)->table;
}
inline JsonArray& ArrayOf(Node* node) {
  return static_cast<ArrayNode*>(node)->array;
}

struct Access {
  using Member = JsonTable::Member;

  static std::size_t Count(const JsonTable& table) { return table.count_; }
  static Member* Members(JsonTable& table) { return table.members_; }
  static const Member* Members(const JsonTable& table) { return table.members_; }
  static JsonValue* Items(JsonArray& array) { return array.items_; }
  static const JsonValue* Items(const JsonArray& array) { return array.items_; }

  // The reader hands over members and elements that live in its arena, already in order.
  static void SetArenaMembers(JsonTable& table, Member* members, std::uint32_t count) {
    table.members_ = members;
    table.count_ = count;
  }
  static void SetArenaItems(JsonArray& array, JsonValue* items, std::uint32_t count) {
    array.items_ = items;
    array.length_ = count;
  }
  // ... or elements in memory from std::malloc that the array takes over.
  static void SetOwnedItems(JsonArray& array, JsonValue* items, std::uint32_t count) {
    array.items_ = items;
    array.length_ = count;
    array.capacity_ = count;
  }

  // Forgets the entries made for iterating the table, before its members are taken apart.
  static void DropIterationEntries(JsonTable& table) noexcept;
};

// Member order: <0 when (hashA, nameA) comes before (hashB, nameB), 0 for the same member.
// The greater hash comes first; between equal hashes the smaller name, compared as
// zero-terminated text (names equal up to a NUL are then told apart by the rest).
int CompareKeys(std::uint32_t hashA, std::u16string_view nameA, std::uint32_t hashB,
                std::u16string_view nameB) noexcept;
int CompareNames(std::u16string_view a, std::u16string_view b) noexcept;

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
