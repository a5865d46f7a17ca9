#include "json/value.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

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

// Runs the destructor of a node and frees its memory, or (for nodes of an arena) adds it to
// `arenaDeaths`, the number of dead nodes of `deadArena` not yet reported to it.
struct ArenaDeaths {
  Arena* arena = nullptr;
  std::int64_t count = 0;
  void Flush() noexcept {
    if (count != 0) arena->Release(count);
    count = 0;
  }
  ~ArenaDeaths() { Flush(); }
};

template <typename N>
void Destroy(N* node, ArenaDeaths& deaths) noexcept {
  Arena* arena = node->arena;
  if (arena == nullptr) {
    delete node;
    return;
  }
  node->~N();
  if (arena != deaths.arena) {
    deaths.Flush();
    deaths.arena = arena;
  }
  ++deaths.count;
}

void DeleteNode(Node* node, ArenaDeaths& deaths) noexcept {
  switch (node->type) {
    case JsonType::stString:
      Destroy(static_cast<StringNode*>(node), deaths);
      break;
    case JsonType::stObject:
      Destroy(static_cast<ObjectNode*>(node), deaths);
      break;
    case JsonType::stArray:
      Destroy(static_cast<ArrayNode*>(node), deaths);
      break;
    default:
      Destroy(node, deaths);
      break;
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
  if (IsContainer(child)) {
    pending.push_back(child);
  } else {
    DeleteNode(child, deaths);
    ++destroyed;
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
    --destroyed;
    while (!pending.empty()) {
      Node* node = pending.back();
      pending.pop_back();
      if (node->type == JsonType::stObject) {
        for (auto& entry : Access::Entries(TableOf(node)))
          DropChild(entry.value.Release(), pending, destroyed, deaths);
      } else {
        for (auto& item : Access::Items(ArrayOf(node)))
          DropChild(item.Release(), pending, destroyed, deaths);
      }
      DeleteNode(node, deaths);
      ++destroyed;
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

// Name order: the greater hash first; between equal hashes the smaller name, compared as
// zero-terminated text. Names equal up to a NUL but different after it are still told apart
// (by the rest of the text), so that no member is lost to another one.
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

// <0 when (hashA, nameA) comes before (hashB, nameB), 0 when they are the same member.
int CompareKeys(std::uint32_t hashA, std::u16string_view nameA, std::uint32_t hashB,
                std::u16string_view nameB) noexcept {
  if (hashA != hashB) return hashA > hashB ? -1 : 1;
  return CompareNames(nameA, nameB);
}

}  // namespace

// ---- Arena ------------------------------------------------------------------------------

Arena* Arena::Create(std::size_t textLength) {
  auto* arena = new Arena();
  // About one node per six code units of text: a generous first guess for replies.
  arena->blockSize_ = std::clamp<std::size_t>(textLength / 6 * 32, 1024, 1 << 20);
  return arena;
}

Arena::~Arena() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    ::operator delete(blocks_);
    blocks_ = next;
  }
}

void Arena::Grow() {
  auto* block = static_cast<Block*>(::operator new(blockSize_));
  block->next = blocks_;
  blocks_ = block;
  next_ = reinterpret_cast<char*>(block) + sizeof(Block);
  left_ = blockSize_ - sizeof(Block);
  blockSize_ = std::min<std::size_t>(blockSize_ * 2, 4 << 20);
}

void Arena::Seal() noexcept {
  Release(kParserHold - created_);
}

void Arena::Release(std::int64_t count) noexcept {
  if (live_.fetch_sub(count, std::memory_order_acq_rel) == count) delete this;
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

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    JsonValue old = Adopt(node_);
    node_ = other.node_;
    other.node_ = nullptr;
  }
  return *this;
}

JsonValue::~JsonValue() {
  if (node_ != nullptr && node_->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
    detail::DestroyTree(node_);
}

JsonValue JsonValue::Adopt(detail::Node* node) noexcept {
  JsonValue value;
  value.node_ = node;
  return value;
}

detail::Node* JsonValue::Release() noexcept {
  Node* node = node_;
  node_ = nullptr;
  return node;
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
  return detail::NewCounted(new detail::StringNode(std::move(text)));
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
      return detail::TextOf(&node);
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
  std::uint32_t h = 0;
  for (char16_t c : name) h = h * 129u + c + 0x9E370001u;
  return h;
}

namespace {

// The first entry that does not come before (hash, name).
std::vector<JsonTable::Entry>::const_iterator LowerBound(
    const std::vector<JsonTable::Entry>& entries, std::uint32_t hash, std::u16string_view name) {
  return std::lower_bound(entries.begin(), entries.end(), 0,
                          [&](const JsonTable::Entry& entry, int) {
                            return detail::CompareKeys(entry.hash, entry.name, hash, name) < 0;
                          });
}

}  // namespace

void JsonTable::Put(std::u16string_view name, JsonValue value) {
  std::uint32_t hash = Hash(name);
  auto at = LowerBound(entries_, hash, name);
  auto index = at - entries_.begin();
  if (at != entries_.end() && at->hash == hash && detail::CompareNames(at->name, name) == 0) {
    entries_[index].value = std::move(value);
    return;
  }
  entries_.insert(entries_.begin() + index, Entry{hash, std::u16string(name), std::move(value)});
}

JsonValue JsonTable::Get(std::u16string_view name) const {
  JsonValue value;
  Find(name, value);
  return value;
}

bool JsonTable::Find(std::u16string_view name, JsonValue& value) const {
  std::uint32_t hash = Hash(name);
  auto at = LowerBound(entries_, hash, name);
  if (at == entries_.end() || at->hash != hash || detail::CompareNames(at->name, name) != 0)
    return false;
  value = at->value;
  return true;
}

void JsonTable::FinishAppend() {
  auto before = [](const Entry& a, const Entry& b) {
    return detail::CompareKeys(a.hash, a.name, b.hash, b.name) < 0;
  };
  if (std::is_sorted(entries_.begin(), entries_.end(), before)) {
    // Sorted input can still hold a repeated name only next to itself; handled below.
  } else if (entries_.size() <= 32) {
    // Insertion sort: stable, and no temporary buffer for the small objects of replies.
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      if (!before(entries_[i], entries_[i - 1])) continue;
      Entry moving = std::move(entries_[i]);
      std::size_t j = i;
      for (; j > 0 && before(moving, entries_[j - 1]); --j)
        entries_[j] = std::move(entries_[j - 1]);
      entries_[j] = std::move(moving);
    }
  } else {
    std::stable_sort(entries_.begin(), entries_.end(), before);
  }
  // A repeated name keeps the value appended last (the last of its run after a stable sort).
  std::size_t out = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    bool repeatedLater = i + 1 < entries_.size() && entries_[i + 1].hash == entries_[i].hash &&
                         detail::CompareNames(entries_[i + 1].name, entries_[i].name) == 0;
    if (repeatedLater) continue;
    if (out != i) entries_[out] = std::move(entries_[i]);
    ++out;
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(out), entries_.end());
}

// ---- JsonArray --------------------------------------------------------------------------

std::size_t JsonArray::Add(JsonValue value) {
  items_.push_back(std::move(value));
  return items_.size() - 1;
}

JsonValue JsonArray::operator[](std::size_t index) const {
  return index < items_.size() ? items_[index] : JsonValue();
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
