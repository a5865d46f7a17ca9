#include "ssh/line_editor.h"

#include <unicode/uchar.h>

#include <algorithm>

#include "text/encoding.h"

namespace velmar::ssh {

namespace {

constexpr char32_t kEsc = 0x1B;

bool isPrintable(char32_t c) {
  return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && !(c >= 0xD800 && c <= 0xDFFF) &&
         c != 0xFFFD && c <= 0x10FFFF;
}

std::size_t utf16Length(char32_t c) {
  return c > 0xFFFF ? 2 : 1;
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c > 0xFFFF) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

std::u16string toUtf16(std::u32string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char32_t c : text) appendUtf16(out, c);
  return out;
}

// Code points of `text`; an unpaired surrogate stays as it is (and is not printable).
std::u32string toUtf32(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string toUtf8(std::u32string_view text) {
  return text::Utf16ToUtf8(toUtf16(text));
}

std::size_t utf16Length(std::u32string_view text) {
  std::size_t units = 0;
  for (const char32_t c : text) units += utf16Length(c);
  return units;
}

}  // namespace

int DisplayWidth(char32_t c) {
  const auto value = static_cast<UChar32>(c);
  const auto category = u_charType(value);
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR ||
      u_hasBinaryProperty(value, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) {
    return 0;
  }
  const auto eaw = u_getIntPropertyValue(value, UCHAR_EAST_ASIAN_WIDTH);
  return eaw == U_EA_WIDE || eaw == U_EA_FULLWIDTH ? 2 : 1;
}

int DisplayWidth(std::u16string_view text) {
  int columns = 0;
  const std::u32string chars = toUtf32(text);
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (chars[i] == kEsc) {
      while (i < chars.size() && chars[i] != U'm') ++i;
      continue;
    }
    if (isPrintable(chars[i])) columns += DisplayWidth(chars[i]);
  }
  return columns;
}

LineEditor::LineEditor(int width) : width_(std::max(width, 1)) {}

void LineEditor::begin(std::u16string_view prompt) {
  prompt_.assign(prompt);
  promptColumns_ = DisplayWidth(prompt);
  buffer_.clear();
  cursor_ = 0;
  offset_ = 0;
  units_ = 0;
  column_ = promptColumns_;
  historyIndex_ = history_.size();
  draft_.clear();
  lastWasTab_ = false;
}

std::u16string LineEditor::take() {
  return std::move(done_);
}

std::u16string LineEditor::line() const {
  return toUtf16(buffer_);
}

std::u16string LineEditor::draft() const {
  return toUtf16(draft_);
}

void LineEditor::resize(int width, std::string& screen) {
  width_ = std::max(width, 1);
  refresh(screen);
}

LineEditor::Event LineEditor::feed(unsigned char byte, std::string& screen) {
  const bool afterCR = afterCR_;
  afterCR_ = false;
  if (afterCR && (byte == '\n' || byte == 0) && esc_ == EscState::None && !decoder_.pending()) {
    return Event::None;
  }
  if (esc_ != EscState::None) {
    if (byte < 0x80) {
      Event event = Event::None;
      if (escape(byte, screen, event)) return event;
    } else {
      esc_ = EscState::None;
    }
  }
  units16_.clear();
  decoder_.feed(byte, units16_);
  Event event = Event::None;
  for (const char16_t unit : units16_) {
    char32_t c = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      highSurrogate_ = unit;
      continue;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      if (highSurrogate_ == 0) continue;
      c = 0x10000 + ((static_cast<char32_t>(highSurrogate_) - 0xD800) << 10) + (unit - 0xDC00);
    }
    highSurrogate_ = 0;
    const Event result = key(c, screen);
    if (result != Event::None) event = result;
  }
  return event;
}

LineEditor::Event LineEditor::key(char32_t c, std::string& screen) {
  const bool secondTab = lastWasTab_;
  lastWasTab_ = false;
  if (c == kEsc) {
    esc_ = EscState::Esc;
    return Event::None;
  }
  if (c < 0x20 || c == 0x7F) {
    lastWasTab_ = secondTab;
    return control(c, screen);
  }
  if (isPrintable(c)) insert(std::u32string_view(&c, 1), screen);
  return Event::None;
}

bool LineEditor::escape(unsigned char byte, std::string& screen, Event& event) {
  lastWasTab_ = false;
  char action = 0;
  switch (esc_) {
    case EscState::Esc:
      if (byte == '[') {
        esc_ = EscState::Csi;
        escParams_.clear();
        return true;
      }
      if (byte == 'O') {
        esc_ = EscState::Ss3;
        return true;
      }
      // ESC followed by anything else (Alt+key): the ESC is dropped, the byte counts.
      esc_ = EscState::None;
      return false;
    case EscState::Ss3:
      esc_ = EscState::None;
      action = static_cast<char>(byte);
      break;
    case EscState::Csi:
      if (byte >= 0x20 && byte <= 0x3F) {
        if (escParams_.size() < 16) escParams_.push_back(static_cast<char>(byte));
        return true;
      }
      if (byte < 0x40 || byte > 0x7E) {
        esc_ = EscState::None;
        return false;
      }
      esc_ = EscState::None;
      action = static_cast<char>(byte);
      if (action == '~') {
        const std::string first = escParams_.substr(0, escParams_.find(';'));
        action = first == "1" || first == "7"   ? 'H'
                 : first == "4" || first == "8" ? 'F'
                 : first == "3"                 ? 'X'
                                                : 0;
      }
      break;
    case EscState::None:
      return false;
  }
  switch (action) {
    case 'A':
      event = control(0x10, screen);
      break;
    case 'B':
      event = control(0x0E, screen);
      break;
    case 'C':
      event = control(0x06, screen);
      break;
    case 'D':
      event = control(0x02, screen);
      break;
    case 'H':
      event = control(0x01, screen);
      break;
    case 'F':
      event = control(0x05, screen);
      break;
    case 'X':
      if (cursor_ < buffer_.size()) erase(cursor_, cursor_ + 1, screen);
      break;
    default:
      break;
  }
  return true;
}

LineEditor::Event LineEditor::control(char32_t c, std::string& screen) {
  const bool secondTab = lastWasTab_;
  lastWasTab_ = false;
  switch (c) {
    case 0x01:  // Ctrl+A
      moveTo(0, screen);
      break;
    case 0x02:  // Ctrl+B
      if (cursor_ > 0) moveTo(cursor_ - 1, screen);
      break;
    case 0x03:  // Ctrl+C
      return finish(Event::Interrupt, screen);
    case 0x04:  // Ctrl+D
      if (buffer_.empty()) return finish(Event::EndOfInput, screen);
      if (cursor_ < buffer_.size()) erase(cursor_, cursor_ + 1, screen);
      break;
    case 0x05:  // Ctrl+E
      moveTo(buffer_.size(), screen);
      break;
    case 0x06:  // Ctrl+F
      if (cursor_ < buffer_.size()) moveTo(cursor_ + 1, screen);
      break;
    case 0x08:  // Ctrl+H
    case 0x7F:  // DEL, what the Backspace key sends
      if (cursor_ > 0) erase(cursor_ - 1, cursor_, screen);
      break;
    case 0x09:  // Tab
      lastWasTab_ = secondTab;
      complete(screen);
      break;
    case 0x0D:
      afterCR_ = true;
      return finish(Event::Line, screen);
    case 0x0A:
      return finish(Event::Line, screen);
    case 0x0B:  // Ctrl+K
      if (cursor_ < buffer_.size()) erase(cursor_, buffer_.size(), screen);
      break;
    case 0x0C:  // Ctrl+L
      refresh(screen);
      break;
    case 0x0E:  // Ctrl+N, Down
      if (historyIndex_ < history_.size()) recall(historyIndex_ + 1, screen);
      break;
    case 0x10:  // Ctrl+P, Up
      if (historyIndex_ > 0) recall(historyIndex_ - 1, screen);
      break;
    case 0x15:  // Ctrl+U
      if (cursor_ > 0) erase(0, cursor_, screen);
      break;
    case 0x17: {  // Ctrl+W: blanks before the cursor, then the word before them
      std::size_t from = cursor_;
      while (from > 0 && buffer_[from - 1] == U' ') --from;
      while (from > 0 && buffer_[from - 1] != U' ') --from;
      if (from < cursor_) erase(from, cursor_, screen);
      break;
    }
    default:
      break;
  }
  return Event::None;
}

void LineEditor::insert(std::u32string_view text, std::string& screen) {
  std::u32string accepted;
  for (const char32_t c : text) {
    if (!isPrintable(c)) continue;
    if (units_ + utf16Length(accepted) + utf16Length(c) > kMaxLine) {
      screen += '\a';
      break;
    }
    accepted.push_back(c);
  }
  if (accepted.empty()) return;
  const bool atEnd = cursor_ == buffer_.size();
  buffer_.insert(cursor_, accepted);
  cursor_ += accepted.size();
  units_ += utf16Length(accepted);
  if (atEnd && offset_ <= cursor_ - accepted.size()) {
    // Typing at the end: the characters themselves are the echo while they fit in the row.
    int columns = 0;
    for (std::size_t i = offset_; i < cursor_; ++i) columns += DisplayWidth(buffer_[i]);
    const bool leadingMark = offset_ == cursor_ - accepted.size() && DisplayWidth(accepted[0]) == 0;
    if (columns <= available() && !leadingMark) {
      screen += toUtf8(accepted);
      column_ = promptColumns_ + columns;
      return;
    }
  }
  refresh(screen);
}

void LineEditor::erase(std::size_t from, std::size_t to, std::string& screen) {
  units_ -= utf16Length(std::u32string_view(buffer_).substr(from, to - from));
  buffer_.erase(from, to - from);
  cursor_ = from;
  refresh(screen);
}

void LineEditor::moveTo(std::size_t position, std::string& screen) {
  if (position == cursor_) return;
  cursor_ = position;
  refresh(screen);
}

void LineEditor::recall(std::size_t index, std::string& screen) {
  if (historyIndex_ == history_.size()) draft_ = buffer_;
  historyIndex_ = index;
  buffer_ = index == history_.size() ? draft_ : toUtf32(history_[index]);
  units_ = utf16Length(buffer_);
  cursor_ = buffer_.size();
  refresh(screen);
}

void LineEditor::complete(std::string& screen) {
  const bool secondTab = lastWasTab_;
  lastWasTab_ = true;
  if (!completer_) {
    screen += '\a';
    return;
  }
  const std::u16string before = toUtf16(std::u32string_view(buffer_).substr(0, cursor_));
  const Completion completion = completer_(before);
  if (completion.candidates.empty() || completion.start > before.size()) {
    screen += '\a';
    return;
  }
  const std::u32string word = toUtf32(std::u16string_view(before).substr(completion.start));
  std::u32string replacement;
  if (completion.candidates.size() == 1) {
    replacement = toUtf32(completion.candidates.front()) + U" ";
  } else {
    replacement = toUtf32(completion.candidates.front());
    for (const auto& candidate : completion.candidates) {
      const std::u32string other = toUtf32(candidate);
      std::size_t common = 0;
      while (common < replacement.size() && common < other.size() &&
             replacement[common] == other[common]) {
        ++common;
      }
      replacement.resize(common);
    }
  }
  if (replacement.size() > word.size()) {
    const std::size_t from = cursor_ - word.size();
    std::u32string accepted;
    std::size_t units = units_ - utf16Length(word);
    for (const char32_t c : replacement) {
      if (!isPrintable(c)) continue;
      if (units + utf16Length(c) > kMaxLine) break;
      accepted.push_back(c);
      units += utf16Length(c);
    }
    buffer_.replace(from, word.size(), accepted);
    cursor_ = from + accepted.size();
    units_ = units;
    refresh(screen);
    return;
  }
  if (secondTab) {
    listCandidates(completion.candidates, screen);
  } else {
    screen += '\a';
  }
}

void LineEditor::listCandidates(const std::vector<std::u16string>& candidates,
                                std::string& screen) {
  // Each name as it is shown: printable characters only, cut to fit in a row.
  std::vector<std::u32string> names;
  std::vector<int> widths;
  int widest = 0;
  for (const auto& candidate : candidates) {
    std::u32string name;
    int columns = 0;
    for (const char32_t c : toUtf32(candidate)) {
      if (!isPrintable(c)) continue;
      const int w = DisplayWidth(c);
      if (columns + w > width_ - 1 || (name.empty() && w == 0)) continue;
      name.push_back(c);
      columns += w;
    }
    names.push_back(std::move(name));
    widths.push_back(columns);
    widest = std::max(widest, columns);
  }
  const int columnWidth = widest + 2;
  const std::size_t perRow = std::max(1, (width_ + 1) / columnWidth);
  const std::size_t rows = (names.size() + perRow - 1) / perRow;
  screen += "\r\n";
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t column = 0; column < perRow; ++column) {
      const std::size_t index = column * rows + row;
      if (index >= names.size()) break;
      if (column > 0) screen.append(columnWidth - widths[index - rows], ' ');
      screen += toUtf8(names[index]);
    }
    screen += "\r\n";
  }
  refresh(screen);
}

LineEditor::Event LineEditor::finish(Event event, std::string& screen) {
  if (event == Event::EndOfInput) {
    screen += "\r\n";
    return event;
  }
  moveTo(buffer_.size(), screen);
  // "^C" where it fits in the row; a terminal would wrap it into a row of its own.
  if (event == Event::Interrupt && column_ + 2 <= width_) screen += "^C";
  screen += "\r\n";
  if (event == Event::Line) {
    done_ = toUtf16(buffer_);
    if (!done_.empty() && (history_.empty() || history_.back() != done_)) {
      history_.push_back(done_);
      if (history_.size() > kHistoryLines) history_.pop_front();
    }
  }
  buffer_.clear();
  units_ = 0;
  cursor_ = 0;
  offset_ = 0;
  historyIndex_ = history_.size();
  draft_.clear();
  return event;
}

int LineEditor::available() const {
  return std::max(1, width_ - 1 - promptColumns_);
}

void LineEditor::refresh(std::string& screen) {
  const int room = available();
  // The shown part keeps its start while the cursor stays in the row; otherwise it starts
  // where the cursor ends up at the row's right edge (or left edge, when it moved left of it).
  if (cursor_ < offset_) offset_ = cursor_;
  int columns = 0;
  for (std::size_t i = offset_; i < cursor_ && columns <= room; ++i) {
    columns += DisplayWidth(buffer_[i]);
  }
  if (columns > room) {
    columns = 0;
    std::size_t start = cursor_;
    while (start > offset_) {
      const int w = DisplayWidth(buffer_[start - 1]);
      if (columns + w > room) break;
      columns += w;
      --start;
    }
    offset_ = start;
  }
  // Room left at the end (after an erase) is filled from the left.
  if (offset_ > 0) {
    int used = 0;
    for (std::size_t i = offset_; i < buffer_.size() && used <= room; ++i) {
      used += DisplayWidth(buffer_[i]);
    }
    while (offset_ > 0 && used + DisplayWidth(buffer_[offset_ - 1]) <= room) {
      used += DisplayWidth(buffer_[--offset_]);
    }
  }
  // A combining mark cannot open the row.
  while (offset_ < cursor_ && DisplayWidth(buffer_[offset_]) == 0) ++offset_;

  std::u32string shown;
  int shownColumns = 0;
  int cursorColumn = 0;
  for (std::size_t i = offset_; i < buffer_.size(); ++i) {
    const int w = DisplayWidth(buffer_[i]);
    if (shown.empty() && w == 0) continue;
    if (shownColumns + w > room) break;
    shown.push_back(buffer_[i]);
    shownColumns += w;
    if (i < cursor_) cursorColumn = shownColumns;
  }
  screen += '\r';
  screen += text::Utf16ToUtf8(prompt_);
  screen += toUtf8(shown);
  screen += "\x1b[K\r";
  const int column = promptColumns_ + cursorColumn;
  column_ = column;
  if (column > 0) screen += "\x1b[" + std::to_string(column) + "C";
}

}  // namespace velmar::ssh
