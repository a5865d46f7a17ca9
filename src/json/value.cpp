#include "json/value.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "core/error.h"
#include "json/node.h"
#include "json/writer.h"

namespace velmar::json {

namespace detail {

const char16_t kCodePageHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

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

JsonValue NewCounted(Node* node) {
  CountCreated(1);
  return JsonValue::Adopt(node);
}

Node& Need(const JsonValue& value) {
  if (!value) throw Error("No JSON value");
  return *value.node();
}

JsonTable& NeedTable(const JsonValue& value) {
  JsonTable* table = value.AsObject();
  if (table == nullptr) throw Error("JSON value is not an object");
  return *table;
}

// Rounds half to even and saturates at the ends of the 64-bit range; NaN gives 0.
std::int64_t RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  double floor = std::floor(value);
  double diff = value - floor;
  double rounded = floor;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(floor, 2.0) != 0)) rounded = floor + 1;
  if (rounded >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (rounded < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(rounded);
}

std::int64_t CurrencyToInteger(std::int64_t tenThousandths) {
  std::int64_t whole = tenThousandths / 10000;
  std::int64_t rest = tenThousandths % 10000;  // same sign as the value
  std::int64_t absRest = rest < 0 ? -rest : rest;
  bool away = absRest > 5000 || (absRest == 5000 && whole % 2 != 0);
  if (away) whole += rest < 0 ? -1 : 1;
  return whole;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The whole text as an integer: leading spaces, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". Anything else, or a number outside
// the 64-bit range (16 hexadecimal digits at most), gives 0.
std::int64_t StringToInteger(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  bool hex = false;
  if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == u'0' &&
             (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return 0;
  std::uint64_t magnitude = 0;
  if (hex) {
    if (text.size() - i > 16) return 0;
    for (; i < text.size(); ++i) {
      int digit = HexDigit(text[i]);
      if (digit < 0) return 0;
      magnitude = magnitude * 16 + static_cast<unsigned>(digit);
    }
    // Sixteen digits are a bit pattern: $FFFFFFFFFFFFFFFF is -1.
    std::int64_t value = static_cast<std::int64_t>(magnitude);
    return negative ? static_cast<std::int64_t>(0 - magnitude) : value;
  }
  const std::uint64_t limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
  for (; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c < u'0' || c > u'9') return 0;
    unsigned digit = c - u'0';
    if (magnitude > (limit - digit) / 10) return 0;
    magnitude = magnitude * 10 + digit;
  }
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace

// Names equal up to a NUL but different after it are still told apart (by the rest of the
// text), so that no member is lost to another one.
int CompareNames(std::u16string_view a, std::u16string_view b) noexcept {
  for (std::size_t i = 0;; ++i) {
    char16_t ca = i < a.size() ? a[i] : 0;
    char16_t cb = i < b.size() ? b[i] : 0;
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) break;
  }
  int rest = a.compare(b);
  return rest < 0 ? -1 : (rest > 0 ? 1 : 0);
}

int CompareKeys(std::uint32_t hashA, std::u16string_view nameA, std::uint32_t hashB,
                std::u16string_view nameB) noexcept {
  if (hashA != hashB) return hashA > hashB ? -1 : 1;
  return CompareNames(nameA, nameB);
}

// ---- Arena ------------------------------------------------------------------------------

Arena* Arena::Create() {
  // The first chunk holds the arena itself, room for text and lists behind it, and a page of
  // nodes: a small reply needs nothing more.
  constexpr std::size_t kFirstChunk = 2 * kPageBytes;
  char* chunk = static_cast<char*>(::operator new (kFirstChunk, std::align_val_t{kPageBytes}));
  auto* head = reinterpret_cast<PageHead*>(chunk);
  auto* arena = new (chunk + sizeof(PageHead)) Arena();
  head->arena = arena;
  head->nextChunk = nullptr;
  head->chunkBytes = kFirstChunk;
  arena->next_ = reinterpret_cast<char*>(arena + 1);
  arena->left_ = static_cast<std::size_t>(chunk + kPageBytes - arena->next_);
  ASAN_POISON_MEMORY_REGION(arena->next_, kFirstChunk - (arena->next_ - chunk));
  arena->blockSize_ = 4096;
  arena->freePages_ = chunk + kPageBytes;
  arena->chunkEnd_ = chunk + kFirstChunk;
  arena->chunkBytes_ = kFirstChunk;
  return arena;
}

Arena::~Arena() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    ASAN_UNPOISON_MEMORY_REGION(blocks_, blocks_->bytes);
    ::operator delete(blocks_);
    blocks_ = next;
  }
  while (chunks_ != nullptr) {
    PageHead* next = chunks_->nextChunk;
    ASAN_UNPOISON_MEMORY_REGION(chunks_, chunks_->chunkBytes);
    ::operator delete (chunks_, std::align_val_t{kPageBytes});
    chunks_ = next;
  }
}

void Arena::Destroy(Arena* arena) noexcept {
  // The first chunk, which holds the arena, goes last.
  char* first = reinterpret_cast<char*>(arena) - sizeof(PageHead);
  arena->~Arena();
  ASAN_UNPOISON_MEMORY_REGION(first, reinterpret_cast<PageHead*>(first)->chunkBytes);
  ::operator delete (first, std::align_val_t{kPageBytes});
}

void* Arena::NewBlock(std::size_t bytes) {
  auto* block = static_cast<Block*>(::operator new(sizeof(Block) + bytes));
  block->next = blocks_;
  block->bytes = sizeof(Block) + bytes;
  blocks_ = block;
  ASAN_POISON_MEMORY_REGION(block + 1, bytes);
  return block + 1;
}

void* Arena::AllocateSlow(std::size_t size, std::size_t used) {
  void* at;
  if (size >= blockSize_ / 2) {
    // Something as large as half a block has a block of its own; the current one stays open.
    at = NewBlock(size);
  } else {
    // Blocks double up to 1 MiB: a large reply takes a few large blocks, which the heap
    // learns to keep for the next one.
    next_ = static_cast<char*>(NewBlock(blockSize_));
    left_ = blockSize_;
    blockSize_ = std::min<std::size_t>(blockSize_ * 2, 1 << 20);
    at = next_;
    next_ += size;
    left_ -= size;
  }
  ASAN_UNPOISON_MEMORY_REGION(at, used);
  return at;
}

void Arena::NewNodePage() {
  if (freePages_ == chunkEnd_) {
    // Chunks double up to 1 MiB, like the blocks.
    chunkBytes_ = std::min<std::size_t>(chunkBytes_ * 2, 1 << 20);
    char* chunk = static_cast<char*>(::operator new (chunkBytes_, std::align_val_t{kPageBytes}));
    auto* head = reinterpret_cast<PageHead*>(chunk);
    head->nextChunk = chunks_;
    head->chunkBytes = chunkBytes_;
    chunks_ = head;
    freePages_ = chunk;
    chunkEnd_ = chunk + chunkBytes_;
    ASAN_POISON_MEMORY_REGION(chunk + sizeof(PageHead), chunkBytes_ - sizeof(PageHead));
  }
  auto* head = reinterpret_cast<PageHead*>(freePages_);
  ASAN_UNPOISON_MEMORY_REGION(head, sizeof(PageHead));
  head->arena = this;
  nodeNext_ = freePages_ + sizeof(PageHead);
  nodeLeft_ = kPageBytes - sizeof(PageHead);
  freePages_ += kPageBytes;
}

void Arena::Seal() noexcept {
  Release(kParserHold - created_);
}

void Arena::Release(std::int64_t count) noexcept {
  if (live_.fetch_sub(count, std::memory_order_acq_rel) == count) Destroy(this);
}

void CountCreated(std::int64_t count) noexcept {
  gLiveValues.fetch_add(count, std::memory_order_relaxed);
}

}  // namespace detail

using detail::Node;

// ---- JsonValue --------------------------------------------------------------------------

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

JsonType JsonValue::DataType() const {
  return detail::Need(*this).type;
}

bool JsonValue::AsBoolean() const {
  const Node& node = detail::Need(*this);
  switch (node.type) {
    case JsonType::stBoolean:
      return node.boolean;
    case JsonType::stDouble:
      return node.dbl != 0;
    case JsonType::stCurrency:
    case JsonType::stInt:
      return node.integer != 0;
    case JsonType::stString:
      return !detail::TextOf(&node).empty();
    case JsonType::stObject:
    case JsonType::stArray:
      return true;
    default:
      return false;
  }
}

std::int64_t JsonValue::AsInteger() const {
  const Node& node = detail::Need(*this);
  switch (node.type) {
    case JsonType::stBoolean:
      return node.boolean ? 1 : 0;
    case JsonType::stDouble:
      return detail::RoundHalfEven(node.dbl);
    case JsonType::stCurrency:
      return detail::CurrencyToInteger(node.integer);
    case JsonType::stInt:
      return node.integer;
    case JsonType::stString:
      return detail::StringToInteger(detail::TextOf(&node));
    default:
      return 0;
  }
}

std::u16string JsonValue::AsString() const {
  const Node& node = detail::Need(*this);
  switch (node.type) {
    case JsonType::stNull:
      return {};
    case JsonType::stString:
      return std::u16string(detail::TextOf(&node));
    default:
      return json::AsJson(*this, false);
  }
}

double JsonValue::AsDouble() const {
  const Node& node = detail::Need(*this);
  switch (node.type) {
    case JsonType::stDouble:
      return node.dbl;
    case JsonType::stCurrency:
      return static_cast<double>(node.integer) / 10000.0;
    case JsonType::stInt:
      return static_cast<double>(node.integer);
    default:
      return 0;
  }
}

JsonTable* JsonValue::AsObject() const {
  Node& node = detail::Need(*this);
  return node.type == JsonType::stObject ? &detail::TableOf(&node) : nullptr;
}

JsonArray* JsonValue::AsArray() const {
  Node& node = detail::Need(*this);
  return node.type == JsonType::stArray ? &detail::ArrayOf(&node) : nullptr;
}

std::u16string JsonValue::AsJson(bool escape) const {
  detail::Need(*this);
  return json::AsJson(*this, escape);
}

void JsonValue::PutString(std::u16string_view name, std::u16string text) {
  detail::NeedTable(*this).Put(name, MakeString(std::move(text)));
}

void JsonValue::PutInt(std::u16string_view name, std::int64_t value) {
  detail::NeedTable(*this).Put(name, MakeInt(value));
}

void JsonValue::Put(std::u16string_view name, JsonValue value) {
  detail::NeedTable(*this).Put(name, std::move(value));
}

JsonValue JsonValue::Get(std::u16string_view name) const {
  if (node_ == nullptr || node_->type != JsonType::stObject) return {};
  return detail::TableOf(node_).Get(name);
}

// ---- JsonTable --------------------------------------------------------------------------

std::uint32_t JsonTable::Hash(std::u16string_view name) noexcept {
  // Four units a step: the same sum, with one multiplication in the chain instead of four.
  constexpr std::uint32_t k = 0x9E370001u, m1 = 129u, m2 = m1 * m1, m3 = m2 * m1, m4 = m3 * m1;
  std::uint32_t h = 0;
  std::size_t i = 0;
  for (; i + 4 <= name.size(); i += 4)
    h = h * m4 + (name[i] + k) * m3 + (name[i + 1] + k) * m2 + (name[i + 2] + k) * m1 +
        (name[i + 3] + k);
  for (; i < name.size(); ++i) h = h * m1 + name[i] + k;
  return h;
}

// What a table keeps beyond its members, made when first needed: the names it stored itself
// and the entries made for iterating it.
struct JsonTable::Extras {
  std::vector<std::unique_ptr<char16_t[]>> names;
  std::vector<Entry> entries;
  bool entriesMade = false;
};

JsonTable::JsonTable() noexcept = default;

JsonTable::~JsonTable() {
  extras_.reset();
  for (std::uint32_t i = 0; i < count_; ++i) members_[i].~Member();
  if (capacity_ != 0) ::operator delete(members_);
}

JsonTable::Extras& JsonTable::Own() {
  if (!extras_) extras_ = std::make_unique<Extras>();
  return *extras_;
}

const JsonTable::Member* JsonTable::Locate(std::u16string_view name,
                                           std::uint32_t hash) const noexcept {
  const Member* at = std::lower_bound(members_, members_ + count_, 0, [&](const Member& m, int) {
    return detail::CompareKeys(m.hash, m.Name(), hash, name) < 0;
  });
  if (at == members_ + count_ || at->hash != hash || detail::CompareNames(at->Name(), name) != 0)
    return nullptr;
  return at;
}

void JsonTable::Put(std::u16string_view name, JsonValue value) {
  const std::uint32_t hash = Hash(name);
  if (const Member* found = Locate(name, hash)) {
    const_cast<Member*>(found)->value = std::move(value);
    detail::Access::DropIterationEntries(*this);
    return;
  }
  if (count_ == std::numeric_limits<std::uint32_t>::max()) throw Error("JSON object too large");
  detail::Access::DropIterationEntries(*this);
  Extras& extras = Own();
  extras.names.reserve(extras.names.size() + 1);
  if (capacity_ == 0 || count_ == capacity_) {  // 0: the members are not its own
    // The first growth also moves members read into an arena to memory of the table's own.
    const std::uint32_t grown = static_cast<std::uint32_t>(std::min<std::size_t>(
        std::max<std::size_t>(count_ * 2, 4), std::numeric_limits<std::uint32_t>::max()));
    auto* moved = static_cast<Member*>(::operator new(grown * sizeof(Member)));
    for (std::uint32_t i = 0; i < count_; ++i) {
      new (&moved[i]) Member(std::move(members_[i]));
      members_[i].~Member();
    }
    if (capacity_ != 0) ::operator delete(members_);
    members_ = moved;
    capacity_ = grown;
  }
  auto copy = std::make_unique<char16_t[]>(std::max<std::size_t>(name.size(), 1));
  std::copy(name.begin(), name.end(), copy.get());
  Member* at = std::lower_bound(members_, members_ + count_, 0, [&](const Member& m, int) {
    return detail::CompareKeys(m.hash, m.Name(), hash, name) < 0;
  });
  // Members move up one place by their handles alone: nothing else refers to them.
  std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at),
               static_cast<std::size_t>(members_ + count_ - at) * sizeof(Member));
  new (at) Member{hash, static_cast<std::uint32_t>(name.size()), copy.get(), std::move(value)};
  ++count_;
  extras.names.push_back(std::move(copy));
}

JsonValue JsonTable::Get(std::u16string_view name) const {
  const Member* found = Locate(name, Hash(name));
  return found != nullptr ? found->value : JsonValue();
}

bool JsonTable::Find(std::u16string_view name, JsonValue& value) const {
  const Member* found = Locate(name, Hash(name));
  if (found == nullptr) return false;
  value = found->value;
  return true;
}

JsonTable::const_iterator JsonTable::begin() const {
  auto& extras = const_cast<JsonTable*>(this)->Own();
  if (!extras.entriesMade) {
    extras.entries.clear();
    extras.entries.reserve(count_);
    for (std::uint32_t i = 0; i < count_; ++i)
      extras.entries.push_back(
          Entry{members_[i].hash, std::u16string(members_[i].Name()), members_[i].value});
    extras.entriesMade = true;
  }
  return extras.entries.cbegin();
}

JsonTable::const_iterator JsonTable::end() const {
  return begin() + static_cast<std::ptrdiff_t>(count_);
}

namespace detail {

void Access::DropIterationEntries(JsonTable& table) noexcept {
  if (!table.extras_) return;
  table.extras_->entries.clear();
  table.extras_->entriesMade = false;
}

}  // namespace detail

// ---- JsonArray --------------------------------------------------------------------------

JsonArray::~JsonArray() {
  for (std::uint32_t i = 0; i < length_; ++i) items_[i].~JsonValue();
  if (capacity_ != 0) std::free(items_);
}

void JsonArray::Reserve(std::size_t count) {
  if (count <= capacity_ || count <= length_) return;
  if (count > std::numeric_limits<std::uint32_t>::max()) throw Error("JSON array too large");
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
  if (capacity_ == 0 || length_ == capacity_) {  // 0: the elements are not its own
    if (length_ == std::numeric_limits<std::uint32_t>::max()) throw Error("JSON array too large");
    Reserve(std::min<std::size_t>(std::max<std::size_t>(std::size_t{length_} * 2, 4),
                                  std::numeric_limits<std::uint32_t>::max()));
  }
  new (&items_[length_]) JsonValue(std::move(value));
  return length_++;
}

JsonValue JsonArray::operator[](std::size_t index) const {
  return index < length_ ? items_[index] : JsonValue();
}

// ---- ArrayOf ----------------------------------------------------------------------------

JsonValue JsonArg::ToValue() const {
  switch (kind_) {
    case Kind::kInt:
      return JsonValue::MakeInt(int_);
    case Kind::kBoolean:
      return JsonValue::MakeBoolean(bool_);
    case Kind::kDouble:
      return JsonValue::MakeDouble(double_);
    case Kind::kUnicode:
      return JsonValue::MakeString(unicode_);
    case Kind::kString:
      break;
  }
  std::u16string text(text_.size(), u'\0');
  for (std::size_t i = 0; i < text_.size(); ++i)
    text[i] = detail::CodePageUnit(static_cast<unsigned char>(text_[i]));
  return JsonValue::MakeString(std::move(text));
}

JsonValue ArrayOf(std::initializer_list<JsonArg> args) {
  JsonValue array = JsonValue::MakeArray();
  for (const JsonArg& arg : args) array.AsArray()->Add(arg.ToValue());
  return array;
}

JsonValue ArrayOf(const std::vector<JsonArg>& args) {
  JsonValue array = JsonValue::MakeArray();
  for (const JsonArg& arg : args) array.AsArray()->Add(arg.ToValue());
  return array;
}

std::int64_t LiveValueCount() noexcept {
  return detail::gLiveValues.load(std::memory_order_relaxed);
}

}  // namespace velmar::json
