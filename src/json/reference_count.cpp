// Reference counting of values: handles share a node, the last one destroys its tree (without
// recursion) and reports nodes of an arena to it; the count of live values for leak checks.
#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "json/node.h"
#include "json/value.h"

namespace velmar::json {

namespace detail {

namespace {

std::atomic<std::int64_t> gLiveValues{0};

bool IsContainer(const Node* node) {
  return node->type == JsonType::stObject || node->type == JsonType::stArray;
}

// The number of dead nodes of one arena not yet reported to it.
struct ArenaDeaths {
  Arena* arena = nullptr;
  std::int64_t count = 0;
  void Add(Arena* of) noexcept {
    if (of != arena) {
      Flush();
      arena = of;
    }
    ++count;
  }
  void Flush() noexcept {
    if (count != 0) arena->Release(count);
    count = 0;
  }
  ~ArenaDeaths() { Flush(); }
};

// Runs the destructor of a node and frees its memory; a node of an arena is reported to it
// instead, which frees its memory with the last one.
template <typename N>
void Destroy(N* node, ArenaDeaths& deaths) noexcept {
  Arena* arena = node->arena();
  node->~N();
  if (arena != nullptr) {
    deaths.Add(arena);
  } else if constexpr (std::is_same_v<N, StringNode>) {
    ::operator delete(node);  // made by MakeString: node and text in one block
  } else {
    ::operator delete(static_cast<void*>(node));
  }
}

void DeleteNode(Node* node, ArenaDeaths& deaths) noexcept {
  switch (node->type) {
    case JsonType::stString:
      if (node->ownsText) return Destroy(static_cast<OwningStringNode*>(node), deaths);
      return Destroy(static_cast<StringNode*>(node), deaths);
    case JsonType::stObject:
      return Destroy(static_cast<ObjectNode*>(node), deaths);
    case JsonType::stArray:
      return Destroy(static_cast<ArrayNode*>(node), deaths);
    default:
      return Destroy(node, deaths);
  }
}

// Drops one reference of a child; collects it when it was the last one.
void DropChild(Node* child, std::vector<Node*>& pending, std::int64_t& destroyed,
               ArenaDeaths& deaths) noexcept {
  if (child == nullptr) return;
  // A count of one is ours alone: no other handle exists that could change it meanwhile.
  if (child->refCount.load(std::memory_order_acquire) != 1 &&
      child->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return;
  ++destroyed;
  if (IsContainer(child)) {
    pending.push_back(child);
  } else if (child->inArena && !child->ownsText) {
    deaths.Add(Arena::Of(child));  // nothing to run: the arena holds all of it
  } else {
    DeleteNode(child, deaths);
  }
}

// Destroys a node whose count reached zero. Containers are emptied onto an explicit work list
// instead of recursing, so that a deeply nested tree cannot exhaust the stack.
void DestroyTree(Node* root) noexcept {
  std::int64_t destroyed = 1;
  ArenaDeaths deaths;
  if (!IsContainer(root)) {
    DeleteNode(root, deaths);
  } else {
    std::vector<Node*> pending{root};
    while (!pending.empty()) {
      Node* node = pending.back();
      pending.pop_back();
      if (node->type == JsonType::stObject) {
        JsonTable& table = TableOf(node);
        Access::DropIterationEntries(table);
        auto* members = Access::Members(table);
        for (std::size_t i = 0, n = Access::Count(table); i < n; ++i)
          DropChild(members[i].value.Release(), pending, destroyed, deaths);
      } else {
        JsonArray& array = ArrayOf(node);
        JsonValue* items = Access::Items(array);
        for (std::size_t i = 0, n = array.Length(); i < n; ++i)
          DropChild(items[i].Release(), pending, destroyed, deaths);
      }
      DeleteNode(node, deaths);
    }
  }
  deaths.Flush();
  gLiveValues.fetch_sub(destroyed, std::memory_order_relaxed);
}

}  // namespace

void CountCreated(std::int64_t count) noexcept {
  gLiveValues.fetch_add(count, std::memory_order_relaxed);
}

namespace {

JsonValue NewCounted(Node* node) {
  CountCreated(1);
  return JsonValue::Adopt(node);
}

}  // namespace

}  // namespace detail

using detail::Node;

JsonValue::JsonValue(const JsonValue& other) noexcept : node_(other.node_) {
  if (node_ != nullptr) node_->refCount.fetch_add(1, std::memory_order_relaxed);
}

JsonValue& JsonValue::operator=(const JsonValue& other) noexcept {
  if (other.node_ != nullptr) other.node_->refCount.fetch_add(1, std::memory_order_relaxed);
  JsonValue old = Adopt(node_);
  node_ = other.node_;
  return *this;
}

void JsonValue::Drop(detail::Node* node) noexcept {
  if (node->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) detail::DestroyTree(node);
}

JsonValue JsonValue::MakeNull() {
  return detail::NewCounted(new Node(JsonType::stNull));
}

JsonValue JsonValue::MakeBoolean(bool value) {
  auto* node = new Node(JsonType::stBoolean);
  node->boolean = value;
  return detail::NewCounted(node);
}

JsonValue JsonValue::MakeInt(std::int64_t value) {
  auto* node = new Node(JsonType::stInt);
  node->integer = value;
  return detail::NewCounted(node);
}

JsonValue JsonValue::MakeDouble(double value) {
  auto* node = new Node(JsonType::stDouble);
  node->dbl = value;
  return detail::NewCounted(node);
}

JsonValue JsonValue::MakeCurrency(std::int64_t tenThousandths) {
  auto* node = new Node(JsonType::stCurrency);
  node->integer = tenThousandths;
  return detail::NewCounted(node);
}

JsonValue JsonValue::MakeString(std::u16string text) {
  void* block = ::operator new(detail::StringNode::SizeWithText(text.size()));
  char16_t* units = detail::StringNode::TextBehind(block);
  std::copy(text.begin(), text.end(), units);
  return detail::NewCounted(new (block) detail::StringNode(units, text.size(), nullptr));
}

JsonValue JsonValue::MakeObject() {
  return detail::NewCounted(new detail::ObjectNode());
}

JsonValue JsonValue::MakeArray() {
  return detail::NewCounted(new detail::ArrayNode());
}

std::int64_t LiveValueCount() noexcept {
  return detail::gLiveValues.load(std::memory_order_relaxed);
}

}  // namespace velmar::json
