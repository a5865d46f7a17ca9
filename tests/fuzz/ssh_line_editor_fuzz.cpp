// Feeds keystrokes to the line editor and keeps a model beside it: a plain list of
// characters with a cursor and a history, edited by the meaning of each key. After every key
// the editor's line, cursor, history and events must be the model's, and the screen the
// editor drew (replayed on a small terminal) must show the prompt and a part of the line
// around the cursor: the whole line when it fits, the cursor at the column where its
// characters put it, never a character beyond the row, nothing the terminal does not know.
//
// Input: the first byte picks the terminal width; then each byte is a key from the table
// below, except that 0xF0..0xFF feed the next byte as it is (after which the model takes the
// editor's state, as it does after Tab, whose completions it does not model).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ssh/line_editor.h"
#include "support/terminal_screen.h"
#include "text/encoding.h"

namespace {

using velmar::ssh::Completion;
using velmar::ssh::DisplayWidth;
using velmar::ssh::LineEditor;
using Event = LineEditor::Event;

void check(bool condition) {
  if (!condition) std::abort();
}

const std::u16string kPrompt = u"\x1b[36mIP-Symcon>\x1b[0m";
constexpr int kPromptColumns = 10;

enum class Action {
  Insert,
  Backspace,
  Delete,
  Left,
  Right,
  Home,
  End,
  KillBefore,
  KillAfter,
  KillWord,
  Up,
  Down,
  Interrupt,
  EndOrDelete,
  Enter,
  Tab,
  Redraw,
  Resize,
};

struct Key {
  const char* bytes;
  Action action;
  char32_t c = 0;
};

const Key kKeys[] = {
    {"a", Action::Insert, U'a'},
    {"b", Action::Insert, U'b'},
    {" ", Action::Insert, U' '},
    {"\"", Action::Insert, U'"'},
    {"\xC3\xA4", Action::Insert, U'\u00e4'},
    {"\xE6\x97\xA5", Action::Insert, U'\u65e5'},
    {"\xCC\x88", Action::Insert, U'\u0308'},
    {"\xF0\x9F\x98\x80", Action::Insert, U'\U0001F600'},
    {"\x7f", Action::Backspace},
    {"\b", Action::Backspace},
    {"\x1b[3~", Action::Delete},
    {"\x1b[D", Action::Left},
    {"\x1bOD", Action::Left},
    {"\x02", Action::Left},
    {"\x1b[C", Action::Right},
    {"\x06", Action::Right},
    {"\x1b[H", Action::Home},
    {"\x1b[1~", Action::Home},
    {"\x01", Action::Home},
    {"\x1b[F", Action::End},
    {"\x1b[4~", Action::End},
    {"\x05", Action::End},
    {"\x15", Action::KillBefore},
    {"\x0b", Action::KillAfter},
    {"\x17", Action::KillWord},
    {"\x1b[A", Action::Up},
    {"\x10", Action::Up},
    {"\x1b[B", Action::Down},
    {"\x0e", Action::Down},
    {"\x03", Action::Interrupt},
    {"\x04", Action::EndOrDelete},
    {"\r", Action::Enter},
    {"\n", Action::Enter},
    {"\r\n", Action::Enter},
    {"\t", Action::Tab},
    {"\x0c", Action::Redraw},
    {"\x1b[5~", Action::Redraw},  // unknown keys change nothing
    {"\x1b[1;5C", Action::Right},
    {"", Action::Resize},
};
constexpr std::size_t kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

Completion Complete(std::u16string_view before) {
  static const std::vector<std::u16string> kWords = {
      u"cd",         u"find",         u"ls",         u"\"Wohn zimmer\"",
      u"K\u00fcche", u"\u65e5\u672c", u"u\u0308ber", u"bad\x1b[31mname",
      u"\u0308lead"};
  Completion result;
  const std::size_t blank = before.rfind(u' ');
  result.start = blank == std::u16string_view::npos ? 0 : blank + 1;
  const std::u16string_view word = before.substr(result.start);
  for (const auto& candidate : kWords) {
    if (candidate.compare(0, word.size(), word) == 0 || word.empty()) {
      result.candidates.push_back(candidate);
    }
  }
  return result;
}

std::size_t Units(const std::u32string& text) {
  std::size_t units = 0;
  for (const char32_t c : text) units += c > 0xFFFF ? 2 : 1;
  return units;
}

std::u32string ToUtf32(std::u16string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    out.push_back(c);
  }
  return out;
}

std::string ToUtf8(std::u32string_view text) {
  std::u16string units;
  for (char32_t c : text) {
    if (c > 0xFFFF) {
      c -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return velmar::text::Utf16ToUtf8(units);
}

int Columns(std::u32string_view text) {
  int columns = 0;
  for (const char32_t c : text) columns += DisplayWidth(c);
  return columns;
}

// The reference: what each key means, without any screen.
struct Model {
  std::u32string line;
  std::size_t cursor = 0;
  std::deque<std::u32string> history;
  std::size_t index = 0;
  std::u32string draft;
  bool afterCR = false;  // an LF right after a CR ends no line

  void recall(std::size_t to) {
    if (index == history.size()) draft = line;
    index = to;
    line = to == history.size() ? draft : history[to];
    cursor = line.size();
  }

  void reset() {
    line.clear();
    cursor = 0;
    index = history.size();
    draft.clear();
  }

  Event apply(const Key& key, std::u32string& done) {
    const std::string_view bytes = key.bytes;
    const bool lf = afterCR && bytes == "\n";
    if (!bytes.empty()) afterCR = bytes.back() == '\r';
    if (lf) return Event::None;
    switch (key.action) {
      case Action::Insert:
        if (Units(line) + (key.c > 0xFFFF ? 2 : 1) <= LineEditor::kMaxLine) {
          line.insert(cursor++, 1, key.c);
        }
        break;
      case Action::Backspace:
        if (cursor > 0) line.erase(--cursor, 1);
        break;
      case Action::Delete:
        if (cursor < line.size()) line.erase(cursor, 1);
        break;
      case Action::Left:
        if (cursor > 0) --cursor;
        break;
      case Action::Right:
        if (cursor < line.size()) ++cursor;
        break;
      case Action::Home:
        cursor = 0;
        break;
      case Action::End:
        cursor = line.size();
        break;
      case Action::KillBefore:
        line.erase(0, cursor);
        cursor = 0;
        break;
      case Action::KillAfter:
        line.erase(cursor);
        break;
      case Action::KillWord: {
        std::size_t from = cursor;
        while (from > 0 && line[from - 1] == U' ') --from;
        while (from > 0 && line[from - 1] != U' ') --from;
        line.erase(from, cursor - from);
        cursor = from;
        break;
      }
      case Action::Up:
        if (index > 0) recall(index - 1);
        break;
      case Action::Down:
        if (index < history.size()) recall(index + 1);
        break;
      case Action::Interrupt:
        reset();
        return Event::Interrupt;
      case Action::EndOrDelete:
        if (line.empty()) return Event::EndOfInput;
        if (cursor < line.size()) line.erase(cursor, 1);
        break;
      case Action::Enter:
        done = line;
        if (!line.empty() && (history.empty() || history.back() != line)) {
          history.push_back(line);
          if (history.size() > velmar::ssh::kHistoryLines) history.pop_front();
        }
        reset();
        return Event::Line;
      case Action::Tab:
      case Action::Redraw:
      case Action::Resize:
        break;
    }
    return Event::None;
  }

  // After keys the model does not follow, it takes what the editor holds.
  void follow(const LineEditor& editor) {
    line = ToUtf32(editor.line());
    cursor = editor.cursor();
    history.clear();
    for (const auto& entry : editor.history()) history.push_back(ToUtf32(entry));
    index = editor.historyPosition();
    if (index == history.size()) {
      draft.clear();
    } else {
      draft = ToUtf32(editor.draft());
    }
  }
};

// The row shows the prompt, then line[a, b) (leading zero-width characters left out) for
// some a <= cursor <= b, with the cursor right behind line[a, cursor); all of the line when
// it fits in the row.
void checkScreen(const velmar::test::TerminalScreen& screen, const Model& model, int width) {
  check(!screen.fault());
  const int row = screen.cursorRow();
  const std::string full = screen.row(row);
  check(full.compare(0, 10, "IP-Symcon>") == 0);
  const std::string shown = full.substr(10);
  const int room = std::max(1, width - 1 - kPromptColumns);
  const int cursorColumns = screen.cursorColumn() - kPromptColumns;
  check(cursorColumns >= 0 && cursorColumns <= room);
  const std::u32string& line = model.line;
  bool found = false;
  for (std::size_t a = 0; a <= model.cursor && !found; ++a) {
    if (Columns(std::u32string_view(line).substr(a, model.cursor - a)) != cursorColumns) continue;
    std::size_t start = a;
    while (start < line.size() && DisplayWidth(line[start]) == 0) ++start;
    std::size_t end = start;
    int used = 0;
    while (end < line.size() && used + DisplayWidth(line[end]) <= room)
      used += DisplayWidth(line[end++]);
    if (end < model.cursor) continue;
    found = ToUtf8(std::u32string_view(line).substr(start, end - start)) == shown;
    if (found && Columns(line) <= room) check(a == 0 || Columns(line.substr(0, a)) == 0);
  }
  check(found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int width = 12 + data[0] % 60;
  LineEditor editor(width);
  editor.setCompleter(Complete);
  auto screen = std::make_unique<velmar::test::TerminalScreen>(
      width, [](char32_t c) { return DisplayWidth(c); });
  Model model;
  std::string out = velmar::text::Utf16ToUtf8(kPrompt);
  screen->write(out);
  editor.begin(kPrompt);

  for (size_t i = 1; i < size; ++i) {
    out.clear();
    std::vector<Event> events;
    bool follow = false;
    Event expected = Event::None;
    std::u32string expectedLine;
    if (data[i] >= 0xF0) {
      if (++i == size) break;
      model.afterCR = data[i] == '\r';
      const Event event = editor.feed(data[i], out);
      if (event != Event::None) events.push_back(event);
      follow = true;
    } else {
      const Key& key = kKeys[data[i] % kKeyCount];
      // A key that ends an escape sequence or character begun by a raw byte means no key.
      const bool pending = !editor.idle();
      if (key.action == Action::Resize) {
        width = 12 + (data[i] * 7) % 60;
        editor.resize(width, out);
        screen = std::make_unique<velmar::test::TerminalScreen>(
            width, [](char32_t c) { return DisplayWidth(c); });
      }
      for (const char* p = key.bytes; *p; ++p) {
        const Event event = editor.feed(static_cast<unsigned char>(*p), out);
        if (event != Event::None) events.push_back(event);
      }
      expected = model.apply(key, expectedLine);
      follow = key.action == Action::Tab || pending;
      if (!follow) {
        check(events.size() <= 1);
        check((events.empty() ? Event::None : events.front()) == expected);
      }
    }
    screen->write(out);
    for (const Event event : events) {
      if (event == Event::Line) {
        const std::u16string line = editor.take();
        if (!follow) check(ToUtf32(line) == expectedLine);
      }
      editor.begin(kPrompt);
      out = velmar::text::Utf16ToUtf8(kPrompt);
      screen->write(out);
      model.reset();
    }
    if (follow) model.follow(editor);
    check(ToUtf32(editor.line()) == model.line);
    check(editor.cursor() == model.cursor);
    check(editor.historyPosition() == model.index);
    check(editor.history().size() == model.history.size());
    if (!events.empty()) {
      for (std::size_t k = 0; k < model.history.size(); ++k) {
        check(ToUtf32(editor.history()[k]) == model.history[k]);
      }
    }
    checkScreen(*screen, model, width);
  }
  return 0;
}
