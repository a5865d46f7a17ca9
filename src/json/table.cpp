// The member table of an object, ordered by the hash of the names, and the member shortcuts of
// a handle.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "json/node.h"
#include "json/value.h"

namespace velmar::json {

namespace detail {

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

}  // namespace detail

namespace {

JsonTable& NeedTable(const JsonValue& value) {
  JsonTable* table = value.AsObject();
  if (table == nullptr) throw Error("JSON value is not an object");
  return *table;
}

}  // namespace

void JsonValue::PutString(std::u16string_view name, std::u16string text) {
  NeedTable(*this).Put(name, MakeString(std::move(text)));
}

void JsonValue::PutInt(std::u16string_view name, std::int64_t value) {
  NeedTable(*this).Put(name, MakeInt(value));
}

void JsonValue::Put(std::u16string_view name, JsonValue value) {
  NeedTable(*this).Put(name, std::move(value));
}

JsonValue JsonValue::Get(std::u16string_view name) const {
  if (node_ == nullptr || node_->type != JsonType::stObject) return {};
  return detail::TableOf(node_).Get(name);
}

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

}  // namespace velmar::json
