#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/line_input.h"
#include "telnet/utf8_stream.h"
#include "text/completion.h"

namespace velmar::ssh {

// The lines kept for Up/Down.
inline constexpr std::size_t kHistoryLines = 100;

// Columns a character takes on a terminal: 2 for East Asian wide and fullwidth characters,
// 0 for combining marks and other zero-width characters, 1 for the rest (ICU's properties).
int DisplayWidth(char32_t c);

// Columns a text takes on a terminal; colour sequences (ESC up to the next "m") take none.
int DisplayWidth(std::u16string_view text);

using text::Completion;

// Gets the text before the cursor; gives the word to replace and its candidates.
using Completer = std::function<Completion(std::u16string_view beforeCursor)>;

// Line editing for a terminal that leaves echo to the server (an SSH pty): keystroke bytes
// from the client in, the completed line and the bytes that keep the client's screen in step
// out. The prompt is already on the screen when a line begins; the editor redraws it only
// after listing completions. A line longer than the row scrolls sideways within it, so the
// cursor never leaves the prompt's row.
//
// Keys: printable characters (UTF-8) are inserted; Backspace/DEL erase before the cursor and
// the Delete key at it; Left/Right/Home/End and Ctrl+A/Ctrl+E/Ctrl+B/Ctrl+F move; Ctrl+U
// erases up to the cursor, Ctrl+K from it, Ctrl+W the word before it; Up/Down walk the last
// kHistoryLines lines; Tab completes; Ctrl+C drops the line; Ctrl+D ends input on an empty
// line and deletes at the cursor otherwise; CR or LF (CR LF and CR NUL count once) ends the
// line. Other control characters and unknown escape sequences are ignored.
class LineEditor {
 public:
  enum class Event {
    None,        // keep feeding
    Line,        // a line is complete: take() it
    Interrupt,   // Ctrl+C dropped the line
    EndOfInput,  // Ctrl+D on an empty line
  };

  // The longest line kept, in UTF-16 code units (as over Telnet); further characters are
  // refused.
  static constexpr std::size_t kMaxLine = telnet::kMaxLineLength;

  explicit LineEditor(int width = 80);

  void setCompleter(Completer completer) { completer_ = std::move(completer); }

  // Starts a new, empty line behind `prompt`, which the caller has just written.
  void begin(std::u16string_view prompt);

  // Takes one byte from the client; appends what the screen needs to `screen`.
  Event feed(unsigned char byte, std::string& screen);

  // The terminal is now `width` columns wide; the line is redrawn.
  void resize(int width, std::string& screen);

  // The line completed by the last Event::Line; the editor is idle until the next begin().
  std::u16string take();

  // The line being edited and the cursor (in characters), for tests.
  std::u16string line() const;
  std::size_t cursor() const { return cursor_; }
  int width() const { return width_; }
  // No escape sequence or UTF-8 character is half received.
  bool idle() const { return esc_ == EscState::None && !decoder_.pending() && highSurrogate_ == 0; }
  const std::deque<std::u16string>& history() const { return history_; }
  // The history line shown; history().size() while on the line being typed.
  std::size_t historyPosition() const { return historyIndex_; }
  // The line being typed, kept while the history is shown.
  std::u16string draft() const;

 private:
  Event key(char32_t c, std::string& screen);
  bool escape(unsigned char byte, std::string& screen, Event& event);
  Event control(char32_t c, std::string& screen);
  void insert(std::u32string_view text, std::string& screen);
  void erase(std::size_t from, std::size_t to, std::string& screen);
  void moveTo(std::size_t position, std::string& screen);
  void recall(std::size_t index, std::string& screen);
  void complete(std::string& screen);
  void listCandidates(const std::vector<std::u16string>& candidates, std::string& screen);
  Event finish(Event event, std::string& screen);
  void refresh(std::string& screen);
  int available() const;

  int width_;
  std::u16string prompt_;
  int promptColumns_ = 0;
  std::u32string buffer_;
  std::size_t units_ = 0;  // UTF-16 code units of buffer_
  std::size_t cursor_ = 0;
  std::size_t offset_ = 0;  // first character shown
  int column_ = 0;          // the cursor's column on the screen
  std::u16string done_;
  Completer completer_;
  bool lastWasTab_ = false;
  bool afterCR_ = false;

  // History: oldest first; historyIndex_ == history_.size() is the line being typed.
  std::deque<std::u16string> history_;
  std::size_t historyIndex_ = 0;
  std::u32string draft_;

  // Input decoding.
  telnet::Utf8StreamDecoder decoder_;
  std::u16string units16_;
  char16_t highSurrogate_ = 0;
  enum class EscState { None, Esc, Csi, Ss3 } esc_ = EscState::None;
  std::string escParams_;
};

}  // namespace velmar::ssh
