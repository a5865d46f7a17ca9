#pragma once

// JSON values: a reference-counted handle (JsonValue) to a value of one of eight kinds, with
// objects (JsonTable) that keep their members in hash order and arrays (JsonArray) that keep
// their elements in order. Text is UTF-16 throughout.
//
// An empty handle means "no value" (a missing member, a failed parse); it is different from a
// value of kind stNull. Copying a handle shares the value; a value is destroyed when its last
// handle goes. Handles and values are not synchronised beyond their reference counts: one
// value tree belongs to one thread at a time.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::json {

// The kinds of value, in their fixed order.
enum class JsonType : std::uint8_t {
  stNull,
  stBoolean,
  stDouble,
  stCurrency,  // fixed point: a signed 64-bit count of ten-thousandths (12.5 is 125000)
  stInt,
  stObject,
  stArray,
  stString,
};

class JsonTable;
class JsonArray;

namespace detail {
struct Node;
struct Access;
}  // namespace detail

class JsonValue {
 public:
  JsonValue() noexcept = default;  // no value
  JsonValue(std::nullptr_t) noexcept {}
  JsonValue(const JsonValue& other) noexcept;
  JsonValue(JsonValue&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  JsonValue& operator=(const JsonValue& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept {
    if (this != &other) {
      detail::Node* old = node_;
      node_ = other.node_;
      other.node_ = nullptr;
      if (old != nullptr) Drop(old);
    }
    return *this;
  }
  ~JsonValue() {
    if (node_ != nullptr) Drop(node_);
  }

  static JsonValue MakeNull();
  static JsonValue MakeBoolean(bool value);
  static JsonValue MakeInt(std::int64_t value);
  static JsonValue MakeDouble(double value);
  static JsonValue MakeCurrency(std::int64_t tenThousandths);
  static JsonValue MakeString(std::u16string text);
  static JsonValue MakeObject();  // an empty object
  static JsonValue MakeArray();   // an empty array

  // Whether the handle holds a value.
  bool HasValue() const noexcept { return node_ != nullptr; }
  explicit operator bool() const noexcept { return node_ != nullptr; }

  // Every operation below except Get raises velmar::Error on a handle without a value.

  JsonType DataType() const;
  bool IsNull() const { return DataType() == JsonType::stNull; }

  // Conversions; they never fail on a value:
  // AsBoolean: null false; numbers true unless zero; strings true unless empty; containers true.
  // AsInteger: null and containers 0; true 1; doubles and currency rounded half to even;
  //   strings read whole as a decimal or ($, x, X, 0x, 0X) hexadecimal integer, else 0.
  // AsString: null empty; a string itself; anything else its compact JSON text with minimal
  //   escaping (AsJson(false)).
  bool AsBoolean() const;
  std::int64_t AsInteger() const;
  std::u16string AsString() const;

  // The raw number of a stDouble, stCurrency (as a double, 12.5 for 125000) or stInt value;
  // 0 for every other kind.
  double AsDouble() const;

  // The member table of an object, the element list of an array; nullptr for other kinds.
  // The table or list lives as long as the value.
  JsonTable* AsObject() const;
  JsonArray* AsArray() const;

  // The value as JSON text, compact. `escape` true: full escaping (ASCII-only text);
  // false: minimal escaping (only NUL, the double quote and the backslash).
  // Raises velmar::Error for a value that contains itself.
  std::u16string AsJson(bool escape = true) const;

  // Object members. Put* store a member under `name`, replacing the value of an existing
  // member of that name (the member keeps its place). They raise velmar::Error unless the
  // value is an object. An empty `value` stores an empty slot (written as null).
  void PutString(std::u16string_view name, std::u16string text);
  void PutInt(std::u16string_view name, std::int64_t value);
  void Put(std::u16string_view name, JsonValue value);

  // The member `name`, or no value when this is no object, or has no such member.
  JsonValue Get(std::u16string_view name) const;

  // For the implementation: the shared node (nullptr when there is no value).
  detail::Node* node() const noexcept { return node_; }
  static JsonValue Adopt(detail::Node* node) noexcept {  // takes over one reference
    JsonValue value;
    value.node_ = node;
    return value;
  }
  detail::Node* Release() noexcept {  // gives up the reference to the caller
    detail::Node* node = node_;
    node_ = nullptr;
    return node;
  }

 private:
  // Gives up one reference of `node`; destroys it when it was the last.
  static void Drop(detail::Node* node) noexcept;

  detail::Node* node_ = nullptr;
};

// The member table of an object. Members are ordered by the hash of their name, the greater
// hash first, and by name between equal hashes; so the order does not depend on the order of
// insertion. Each name appears at most once. Names are compared exactly (case matters).
class JsonTable {
 public:
  struct Entry {
    std::uint32_t hash;
    std::u16string name;
    JsonValue value;
  };
  // Iterating hands out entries made for it on the first call of begin(); they stay valid until
  // the table changes.
  using const_iterator = std::vector<Entry>::const_iterator;

  JsonTable() noexcept;
  ~JsonTable();
  JsonTable(const JsonTable&) = delete;
  JsonTable& operator=(const JsonTable&) = delete;

  // h = h * 129 + c + 0x9E370001 (mod 2^32) over the UTF-16 code units, from h = 0.
  static std::uint32_t Hash(std::u16string_view name) noexcept;

  std::size_t Count() const noexcept { return count_; }
  bool Empty() const noexcept { return count_ == 0; }

  // Stores `value` as member `name`, replacing the value of an existing member of that name.
  void Put(std::u16string_view name, JsonValue value);

  // The value of member `name`, or no value.
  JsonValue Get(std::u16string_view name) const;

  // If there is a member `name`: stores its value in `value` and returns true. Otherwise
  // returns false and leaves `value` as it was.
  bool Find(std::u16string_view name, JsonValue& value) const;

  // The members in their order.
  const_iterator begin() const;
  const_iterator end() const;

 private:
  friend struct detail::Access;
  struct Extras;

  // A member as the table holds it. Its name lives as long as the table: in the arena of the
  // parse that read it, or in the table's own copy.
  struct Member {
    std::uint32_t hash;
    std::uint32_t length;
    const char16_t* name;
    JsonValue value;
    std::u16string_view Name() const noexcept { return {name, length}; }
  };

  const Member* Locate(std::u16string_view name, std::uint32_t hash) const noexcept;
  Extras& Own();

  Member* members_ = nullptr;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 0;  // 0 while members_ is arena memory, not the table's own
  std::unique_ptr<Extras> extras_;
};

// The element list of an array.
class JsonArray {
 public:
  using const_iterator = const JsonValue*;

  JsonArray() = default;
  ~JsonArray();
  JsonArray(const JsonArray&) = delete;
  JsonArray& operator=(const JsonArray&) = delete;

  std::size_t Length() const noexcept { return length_; }
  bool Empty() const noexcept { return length_ == 0; }

  // Appends `value` (an empty handle makes an empty slot) and returns its index.
  std::size_t Add(JsonValue value);

  // The element at `index`, or no value when `index` is not below Length().
  JsonValue operator[](std::size_t index) const;
  JsonValue Get(std::size_t index) const { return (*this)[index]; }

  const_iterator begin() const noexcept { return items_; }
  const_iterator end() const noexcept { return items_ + length_; }

  void Reserve(std::size_t count);

 private:
  friend struct detail::Access;

  JsonValue* items_ = nullptr;
  std::uint32_t length_ = 0;
  std::uint32_t capacity_ = 0;  // 0 while items_ is arena memory, not the array's own
};

// One argument of ArrayOf: a 32-bit integer, a Boolean, a floating-point number, a string
// of code-page (Windows-1252) bytes or a Unicode string. String literals and std::string
// are code-page text; u"" literals and std::u16string are Unicode and reach the array whole.
class JsonArg {
 public:
  JsonArg(std::int32_t value) : kind_(Kind::kInt), int_(value) {}
  JsonArg(bool value) : kind_(Kind::kBoolean), bool_(value) {}
  JsonArg(double value) : kind_(Kind::kDouble), double_(value) {}
  JsonArg(long double value) : kind_(Kind::kDouble), double_(static_cast<double>(value)) {}
  JsonArg(const char* codePageText) : kind_(Kind::kString), text_(codePageText) {}
  JsonArg(std::string_view codePageText) : kind_(Kind::kString), text_(codePageText) {}
  JsonArg(const std::string& codePageText) : kind_(Kind::kString), text_(codePageText) {}
  JsonArg(const char16_t* unicodeText) : kind_(Kind::kUnicode), unicode_(unicodeText) {}
  JsonArg(std::u16string_view unicodeText) : kind_(Kind::kUnicode), unicode_(unicodeText) {}
  JsonArg(const std::u16string& unicodeText) : kind_(Kind::kUnicode), unicode_(unicodeText) {}

  JsonValue ToValue() const;

 private:
  enum class Kind { kInt, kBoolean, kDouble, kString, kUnicode };
  Kind kind_;
  std::int32_t int_ = 0;
  bool bool_ = false;
  double double_ = 0;
  std::string text_;
  std::u16string unicode_;
};

// A new array with one element per argument, in order: integers as stInt, Booleans as
// stBoolean, floating-point numbers as stDouble, code-page text as stString (converted to
// UTF-16 through Windows-1252), Unicode text as stString unchanged. No arguments give an
// empty array.
JsonValue ArrayOf(std::initializer_list<JsonArg> args = {});
JsonValue ArrayOf(const std::vector<JsonArg>& args);

// The number of values alive in the process (for leak checks in tests).
std::int64_t LiveValueCount() noexcept;

}  // namespace velmar::json
