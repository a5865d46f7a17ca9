#include "json/reader.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "json/inline_vector.h"
#include "json/member_order.h"
#include "json/name_table.h"
#include "json/node.h"
#include "json/number_text.h"
#include "json/text_buffer.h"

namespace velmar::json {

namespace {

using detail::Node;

// A value may be enclosed by at most this many arrays and objects.
constexpr std::size_t kMaxLevel = 31;

// Strings up to this many code units are copied into the arena; a longer one keeps the buffer
// it was read into.
constexpr std::size_t kArenaTextUnits = 1024;

// A list of at least this many elements that is all of the stack takes the stack's memory.
constexpr std::size_t kHandOverItems = 1024;

// The most code units a run of text adds before the buffer is asked for room again: a long
// text arriving whole still grows its buffer step by step with what it holds.
constexpr std::size_t kRunUnits = 4096;

inline char16_t Unit(char16_t c) {
  return c;
}
inline char16_t Unit(char c) {
  return detail::CodePageUnit(static_cast<unsigned char>(c));
}

bool IsWhite(char16_t c) {
  return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

bool IsNumberChar(char16_t c) {
  return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'E' || c == u'e';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Characters that cannot begin an unquoted member name.
bool CannotStartName(char16_t c) {
  switch (c) {
    case 0:
    case 8:
    case 9:
    case 10:
    case 12:
    case 13:
    case 32:
    case u'"':
    case u'(':
    case u')':
    case u',':
    case u'.':
    case u':':
    case u'[':
    case u']':
    case u'{':
    case u'}':
      return true;
    default:
      return false;
  }
}

// A character after "true", "false" or "null" that makes the word a bare word instead.
bool ContinuesWord(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u'.' || c > 255;
}

// Copies bytes eight at a time while none of them is the quote, a backslash, NUL or above
// 127 (which the code page maps): the plain ASCII that most strings are.
void CopyPlainBytes(const char*& p, const char* stop, char16_t*& out, char quote) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  auto hasZeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t quotes = kOnes * static_cast<unsigned char>(quote);
  const std::uint64_t backslashes = kOnes * static_cast<unsigned char>('\\');
  while (stop - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (((hasZeroByte(word) | hasZeroByte(word ^ quotes) | hasZeroByte(word ^ backslashes)) |
         (word & kHighs)) != 0)
      return;
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(p[i]);
    p += 8;
    out += 8;
  }
}

constexpr std::u16string_view kLiterals[] = {u"true", u"false", u"null"};

// The reader: a machine that takes the text in pieces. Its state says what comes next, so
// that a piece may end anywhere (inside a string, a number, a comment, an escape) and the next
// piece goes on from there. Containers are a stack of frames rather than a recursion, and a
// value is built as soon as its text is complete. Code units are `Ch`: char16_t (UTF-16) or
// char (Windows-1252 bytes). The end of the text is a NUL code unit, real or fed by Finish.
template <typename Ch>
class Reader {
  using Member = detail::Access::Member;

 public:
  Reader() : arena_(detail::Arena::Create()), names_(*arena_) { members_.reserve(32); }
  ~Reader() {
    for (Node* item : items_) JsonValue::Adopt(item);  // what an unfinished text left open
    members_.clear();
    result_ = JsonValue();
    Flush();
    arena_->Seal();
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads the units [p, end). Raises std::bad_alloc when memory runs out.
  void Feed(const Ch* p, const Ch* end) {
    while (!Finished() && Step(p, end)) {
    }
  }

  JsonValue Finish() {
    static constexpr Ch kEnd[1] = {0};
    if (!Finished()) Feed(kEnd, kEnd + 1);
    JsonValue value = state_ == State::kDone ? std::move(result_) : JsonValue();
    Flush();
    return value;
  }

  bool Finished() const { return state_ >= State::kDone; }
  bool Fail() {
    state_ = State::kFailed;
    return true;  // the step is over; Feed sees the failure
  }

 private:
  // White space and comments come first in the states up to kTopEnd.
  enum class State : std::uint8_t {
    kValue,         // white space, then a value
    kItemOrClose,   // after "[" or ",": white space, then "]" or a value
    kNameOrClose,   // after "{" or ",": white space, then "}" or a member name
    kColon,         // after a quoted name: white space, then ":"
    kAfterValue,    // in a container: white space, then "," or its close
    kTopEnd,        // after a top-level object, array or string: white space, then done
    kString,        // inside quotes
    kEscape,        // after a backslash
    kHexDigits,     // the digits of \u or \x
    kNumber,        // number characters
    kLiteral,       // true, false or null, and the character after it
    kBareWord,      // a value that is none of the above
    kUnquotedName,  // a member name without quotes, up to ":"
    kDone,
    kFailed,
  };
  enum class Comment : std::uint8_t { kNone, kSlash, kBlock, kBlockStar, kLine };
  enum class Skip { kReady, kMore, kBad };

  struct Frame {
    bool object;
    std::size_t base;  // where its elements or members begin on items_ or members_
  };

  // One step: false when the piece is used up.
  bool Step(const Ch*& p, const Ch* end) {
    if (state_ <= State::kTopEnd) {
      switch (SkipWhite(p, end)) {
        case Skip::kReady:
          break;
        case Skip::kMore:
          return false;
        case Skip::kBad:
          return Fail();
      }
    }
    switch (state_) {
      case State::kValue:
        return StartValue(p, end);
      case State::kItemOrClose:
        return ItemOrClose(p, end);
      case State::kNameOrClose:
        return NameOrClose(p, end);
      case State::kColon:
        return Colon(p);
      case State::kAfterValue:
        return AfterValue(p, end);
      case State::kTopEnd:
        state_ = State::kDone;
        return true;
      case State::kString:
        return InString(p, end);
      case State::kEscape:
        return InEscape(p, end);
      case State::kHexDigits:
        return InHexDigits(p, end);
      case State::kNumber:
        return InNumber(p, end);
      case State::kLiteral:
        return InLiteral(p, end);
      case State::kBareWord:
        return InBareWord(p, end);
      case State::kUnquotedName:
        return InUnquotedName(p, end);
      case State::kDone:
      case State::kFailed:
        break;
    }
    return false;
  }

  // ---- white space and comments --------------------------------------------------------

  // Skips white space and comments up to the next token (or the end of the text).
  Skip SkipWhite(const Ch*& p, const Ch* end) {
    // Most tokens follow each other directly.
    if (comment_ == Comment::kNone && p != end && !IsWhite(Unit(*p)) && *p != Ch('/'))
      return Skip::kReady;
    for (;;) {
      if (p == end) return Skip::kMore;
      const char16_t c = Unit(*p);
      switch (comment_) {
        case Comment::kNone:
          if (IsWhite(c)) {
            ++p;
            continue;
          }
          if (c != u'/') return Skip::kReady;
          comment_ = Comment::kSlash;
          break;
        case Comment::kSlash:
          if (c != u'*' && c != u'/') return Skip::kBad;
          comment_ = c == u'*' ? Comment::kBlock : Comment::kLine;
          break;
        case Comment::kBlock:
          if (c == 0) return Skip::kBad;
          if (c == u'*') comment_ = Comment::kBlockStar;
          break;
        case Comment::kBlockStar:
          if (c != u'/') {
            comment_ = Comment::kBlock;
            continue;  // the same character again, inside the comment
          }
          comment_ = Comment::kNone;
          break;
        case Comment::kLine:
          if (c == 0) return Skip::kBad;
          if (c == u'\n') comment_ = Comment::kNone;
          break;
      }
      ++p;
    }
  }

  // ---- structure ------------------------------------------------------------------------

  // The first character of a value is at p (after white space). Strings and numbers are read
  // on at once, as far as the piece goes.
  bool StartValue(const Ch*& p, const Ch* end) {
    if (depth_ > kMaxLevel) return Fail();
    const char16_t c = Unit(*p);
    switch (c) {
      case u'{':
      case u'[':
        ++p;
        frames_[depth_++] = Frame{c == u'{', c == u'{' ? members_.size() : items_.size()};
        state_ = c == u'{' ? State::kNameOrClose : State::kItemOrClose;
        return true;
      case u'"':
      case u'\'':
        ++p;
        StartString(c, false);
        return InString(p, end);
      case u'-':
      case u'0':
      case u'1':
      case u'2':
      case u'3':
      case u'4':
      case u'5':
      case u'6':
      case u'7':
      case u'8':
      case u'9':
        number_.clear();
        state_ = State::kNumber;
        return InNumber(p, end);
      case u't':
      case u'f':
      case u'n':
        literal_ = c == u't' ? 0 : c == u'f' ? 1 : 2;
        matched_ = 0;
        state_ = State::kLiteral;
        return true;
      default:
        text_.Clear();
        state_ = State::kBareWord;
        return true;
    }
  }

  bool ItemOrClose(const Ch*& p, const Ch* end) {
    if (Unit(*p) != u']') return StartValue(p, end);
    ++p;
    return CloseArray();
  }

  bool NameOrClose(const Ch*& p, const Ch* end) {
    const char16_t c = Unit(*p);
    if (c == u'}') {
      ++p;
      return CloseObject();
    }
    if (c == u'"' || c == u'\'') {
      ++p;
      StartString(c, true);
      return InString(p, end);
    }
    if (CannotStartName(c)) return Fail();
    text_.Clear();
    state_ = State::kUnquotedName;
    return true;
  }

  bool Colon(const Ch*& p) {
    if (Unit(*p) != u':') return Fail();
    ++p;
    state_ = State::kValue;
    return true;
  }

  bool AfterValue(const Ch*& p, const Ch* end) {
    const char16_t c = Unit(*p);
    const bool object = frames_[depth_ - 1].object;
    if (c == u',') {
      ++p;
      state_ = object ? State::kNameOrClose : State::kItemOrClose;
      // The next element or member usually follows at once.
      if (p == end || IsWhite(Unit(*p)) || *p == Ch('/')) return true;
      return object ? NameOrClose(p, end) : ItemOrClose(p, end);
    }
    if (c != (object ? u'}' : u']')) return Fail();
    ++p;
    return object ? CloseObject() : CloseArray();
  }

  // A value is complete (`node`, whose reference is handed over): it becomes the result, an
  // element or the value of the member named last. `delimited`: it ended with its own closing
  // character (a quote or bracket).
  bool Complete(Node* node, bool delimited) {
    if (depth_ == 0) {
      result_ = JsonValue::Adopt(node);
      state_ = delimited ? State::kTopEnd : State::kDone;
    } else {
      // The member named last is the last one on the stack: an inner object's members are
      // gone from it once the inner object is closed.
      if (frames_[depth_ - 1].object) {
        members_.back().value = JsonValue::Adopt(node);
      } else {
        items_.push_back(node);
      }
      state_ = State::kAfterValue;
    }
    return true;
  }

  bool CloseArray() {
    const std::size_t base = frames_[--depth_].base;
    const std::size_t count = items_.size() - base;
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    auto* node = New<detail::ArrayNode>();
    // The handles move as they are (a handle is its node's pointer). A long list that is all
    // of the stack (as the result list of a reply is) keeps the stack's memory; any other
    // moves into the arena.
    if (base == 0 && count >= kHandOverItems) {
      Node** stack = items_.ReleaseHeap();
      void* shrunk = std::realloc(stack, count * sizeof(Node*));
      detail::Access::SetOwnedItems(node->array,
                                    static_cast<JsonValue*>(shrunk != nullptr ? shrunk : stack),
                                    static_cast<std::uint32_t>(count));
    } else {
      auto* items = static_cast<JsonValue*>(arena_->Allocate(count * sizeof(JsonValue)));
      if (count != 0) std::memcpy(static_cast<void*>(items), &items_[base], count * sizeof(Node*));
      items_.resize(base);
      detail::Access::SetArenaItems(node->array, items, static_cast<std::uint32_t>(count));
    }
    return Complete(node, true);
  }

  bool CloseObject() {
    const std::size_t base = frames_[--depth_].base;
    const std::size_t count = members_.size() - base;
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    auto* node = New<detail::ObjectNode>();
    JsonValue object = JsonValue::Adopt(node);  // owned while the members move
    auto* members = static_cast<Member*>(arena_->Allocate(count * sizeof(Member)));
    const std::size_t kept = order_.Arrange(&members_[base], count, members);
    members_.resize(base);
    detail::Access::SetArenaMembers(node->table, members, static_cast<std::uint32_t>(kept));
    return Complete(object.Release(), true);
  }

  // A member name is complete in text_.
  void AddName() {
    const detail::NameTable::Name name = names_.Intern(text_.data(), text_.size());
    members_.push_back(Member{name.hash, name.length, name.text, JsonValue()});
  }

  // ---- strings and escapes --------------------------------------------------------------

  void StartString(char16_t quote, bool name) {
    quote_ = quote;
    stringIsName_ = name;
    text_.Clear();
    state_ = State::kString;
  }

  bool InString(const Ch*& p, const Ch* end) {
    const Ch quote = static_cast<Ch>(quote_);
    for (;;) {
      const Ch* stop = p + std::min<std::size_t>(static_cast<std::size_t>(end - p), kRunUnits);
      char16_t* out = text_.Reserve(static_cast<std::size_t>(stop - p));
      if constexpr (std::is_same_v<Ch, char>) CopyPlainBytes(p, stop, out, quote);
      while (p != stop && *p != quote && *p != Ch('\\') && *p != Ch(0)) *out++ = Unit(*p++);
      text_.CommitUpTo(out);
      if (p == end) return false;
      if (p != stop) break;
    }
    const Ch c = *p;
    if (c == Ch(0)) return Fail();
    ++p;
    if (c != quote) {
      escapeReturn_ = State::kString;
      state_ = State::kEscape;
      return true;
    }
    if (!stringIsName_) return Complete(TakeText(), depth_ == 0);
    AddName();
    state_ = State::kColon;
    // The colon usually follows at once.
    if (p != end && *p == Ch(':')) {
      ++p;
      state_ = State::kValue;
    }
    return true;
  }

  bool InEscape(const Ch*& p, const Ch* end) {
    if (p == end) return false;
    const char16_t c = Unit(*p);
    if (c == 0) return Fail();
    ++p;
    char16_t unit = c;
    switch (c) {
      case u'b':
        unit = 8;
        break;
      case u't':
        unit = 9;
        break;
      case u'n':
        unit = 10;
        break;
      case u'f':
        unit = 12;
        break;
      case u'r':
        unit = 13;
        break;
      case u'u':
      case u'x':
        hexLeft_ = c == u'u' ? 4 : 2;
        hexValue_ = 0;
        state_ = State::kHexDigits;
        return true;
      default:
        break;
    }
    text_.Append(unit);
    state_ = escapeReturn_;
    return true;
  }

  bool InHexDigits(const Ch*& p, const Ch* end) {
    for (; hexLeft_ > 0; --hexLeft_) {
      if (p == end) return false;
      const int digit = HexValue(Unit(*p));
      if (digit < 0) return Fail();
      ++p;
      hexValue_ = hexValue_ * 16 + static_cast<unsigned>(digit);
    }
    text_.Append(static_cast<char16_t>(hexValue_));
    state_ = escapeReturn_;
    return true;
  }

  // The text read into text_ as a string node.
  Node* TakeText() {
    const std::size_t length = text_.size();
    void* block;
    Node* node;
    if (length <= kArenaTextUnits) {
      auto* units = static_cast<char16_t*>(arena_->Allocate(length * sizeof(char16_t)));
      if (length != 0) std::memcpy(units, text_.data(), length * sizeof(char16_t));
      block = arena_->AllocateNode(sizeof(detail::StringNode));
      node = new (block) detail::StringNode(units, length, arena_);
    } else {
      block = arena_->AllocateNode(sizeof(detail::OwningStringNode));
      node = new (block) detail::OwningStringNode(text_.Release(), length, arena_);
    }
    ++created_;
    return node;
  }

  // ---- numbers and literals -------------------------------------------------------------

  bool InNumber(const Ch*& p, const Ch* end) {
    const Ch* start = p;
    if (number_.empty()) {
      // The common case: an integer of up to 18 digits (which cannot overflow), whole in
      // this piece.
      const Ch* q = *p == Ch('-') ? p + 1 : p;
      const Ch* digits = q;
      std::uint64_t magnitude = 0;
      while (q != end && *q >= Ch('0') && *q <= Ch('9') && q - digits < 18)
        magnitude = magnitude * 10 + static_cast<unsigned>(*q++ - Ch('0'));
      if (q != digits && q != end && !IsNumberChar(Unit(*q))) {
        p = q;
        Node* node = New<Node>(JsonType::stInt);
        const auto value = static_cast<std::int64_t>(magnitude);
        node->integer = digits != start ? -value : value;
        return Complete(node, false);
      }
    }
    while (p != end && IsNumberChar(Unit(*p))) ++p;
    if (p == end || !number_.empty()) number_.append(start, p);
    if (p == end) return false;
    // The number ends at the first other character, which belongs to what follows.
    std::string_view text = number_;
    if constexpr (std::is_same_v<Ch, char>) {
      if (number_.empty()) text = std::string_view(start, static_cast<std::size_t>(p - start));
    } else {
      if (number_.empty()) text = number_.assign(start, p);
    }
    const detail::NumberRead read = detail::ReadNumber(text);
    if (!read.valid) return Fail();
    Node* node = New<Node>(read.type);
    if (read.type == JsonType::stDouble) {
      node->dbl = read.dbl;
    } else {
      node->integer = read.integer;
    }
    return Complete(node, false);
  }

  bool InLiteral(const Ch*& p, const Ch* end) {
    const std::u16string_view word = kLiterals[literal_];
    for (; matched_ < word.size(); ++matched_, ++p) {
      if (p == end) return false;
      if (Unit(*p) != word[matched_]) return LiteralIsWord();
    }
    if (p == end) return false;
    if (ContinuesWord(Unit(*p))) return LiteralIsWord();
    Node* node = New<Node>(literal_ == 2 ? JsonType::stNull : JsonType::stBoolean);
    if (literal_ != 2) node->boolean = literal_ == 0;
    return Complete(node, false);
  }

  // What was read of a literal starts a bare word instead.
  bool LiteralIsWord() {
    text_.Clear();
    for (std::size_t i = 0; i < matched_; ++i) text_.Append(kLiterals[literal_][i]);
    state_ = State::kBareWord;
    return true;
  }

  // A bare word runs, backslash escapes included, to the end of its value: inside an array up
  // to the next "," or "]", inside an object up to the next "," or "}", at the top level up to
  // the end of the text. Trailing line feeds, carriage returns and spaces are dropped.
  bool InBareWord(const Ch*& p, const Ch* end) {
    const bool top = depth_ == 0;
    const Ch close = top ? Ch(0) : frames_[depth_ - 1].object ? Ch('}') : Ch(']');
    const Ch comma = top ? Ch(0) : Ch(',');
    for (;;) {
      const Ch* stop = p + std::min<std::size_t>(static_cast<std::size_t>(end - p), kRunUnits);
      char16_t* out = text_.Reserve(static_cast<std::size_t>(stop - p));
      while (p != stop && *p != Ch('\\') && *p != Ch(0) && *p != comma && *p != close)
        *out++ = Unit(*p++);
      text_.CommitUpTo(out);
      if (p == end) return false;
      if (p != stop) break;
    }
    if (*p == Ch('\\')) {
      ++p;
      escapeReturn_ = State::kBareWord;
      state_ = State::kEscape;
      return true;
    }
    if (*p == Ch(0) && !top) return Fail();
    std::size_t keep = text_.size();
    const char16_t* units = text_.data();
    while (keep > 0 &&
           (units[keep - 1] == u'\n' || units[keep - 1] == u'\r' || units[keep - 1] == u' '))
      --keep;
    text_.Truncate(keep);
    return Complete(TakeText(), false);
  }

  // An unquoted name runs up to the colon, spaces included, without escapes.
  bool InUnquotedName(const Ch*& p, const Ch* end) {
    for (;;) {
      const Ch* stop = p + std::min<std::size_t>(static_cast<std::size_t>(end - p), kRunUnits);
      char16_t* out = text_.Reserve(static_cast<std::size_t>(stop - p));
      while (p != stop && *p != Ch(':') && *p != Ch(0)) *out++ = Unit(*p++);
      text_.CommitUpTo(out);
      if (p == end) return false;
      if (p != stop) break;
    }
    if (*p == Ch(0)) return Fail();
    ++p;
    AddName();
    state_ = State::kValue;
    return true;
  }

  // ---- nodes ----------------------------------------------------------------------------

  template <typename N>
  N* New(JsonType type) {
    ++created_;
    return new (arena_->AllocateNode(sizeof(N))) N(type, arena_);
  }
  template <typename N>
  N* New() {
    ++created_;
    return new (arena_->AllocateNode(sizeof(N))) N(arena_);
  }

  // Adds the values created so far to the live count.
  void Flush() {
    detail::CountCreated(created_);
    created_ = 0;
  }

  State state_ = State::kValue;
  Comment comment_ = Comment::kNone;
  State escapeReturn_ = State::kString;
  char16_t quote_ = 0;
  bool stringIsName_ = false;
  std::uint8_t literal_ = 0;
  std::size_t matched_ = 0;
  int hexLeft_ = 0;
  unsigned hexValue_ = 0;

  detail::Arena* arena_;
  std::int64_t created_ = 0;
  detail::NameTable names_;
  std::size_t depth_ = 0;  // open containers
  std::array<Frame, kMaxLevel + 1> frames_;
  // Elements (owned references) and members of the open containers, innermost last; each
  // container takes its own when it closes, so that it is allocated once at its final size.
  detail::InlineVector<Node*, 64> items_;
  std::vector<Member> members_;
  detail::MemberOrder order_;
  detail::TextBuffer text_;  // the string, name or bare word being read
  std::string number_;       // the number being read, when it spans pieces
  JsonValue result_;
};

template <typename Ch>
JsonValue ParseWhole(const Ch* begin, const Ch* end) noexcept {
  try {
    Reader<Ch> reader;
    reader.Feed(begin, end);
    return reader.Finish();
  } catch (...) {
    return {};  // out of memory: no value, as for any text that cannot be read
  }
}

}  // namespace

JsonValue ParseJson(std::u16string_view text) noexcept {
  return ParseWhole(text.data(), text.data() + text.size());
}

JsonValue ParseJsonCodePage(std::string_view bytes) noexcept {
  return ParseWhole(bytes.data(), bytes.data() + bytes.size());
}

class JsonStreamReader::Machine : public Reader<char> {};

JsonStreamReader::JsonStreamReader() : machine_(std::make_unique<Machine>()) {}

JsonStreamReader::~JsonStreamReader() = default;

void JsonStreamReader::Feed(std::string_view bytes) noexcept {
  if (machine_->Finished()) return;
  try {
    machine_->Feed(bytes.data(), bytes.data() + bytes.size());
  } catch (...) {
    machine_->Fail();  // out of memory: no value
  }
}

JsonValue JsonStreamReader::Finish() noexcept {
  try {
    return machine_->Finish();
  } catch (...) {
    return {};
  }
}

}  // namespace velmar::json
