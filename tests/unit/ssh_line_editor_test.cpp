#include "ssh/line_editor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/terminal_screen.h"
#include "text/encoding.h"

namespace velmar::ssh {
namespace {

constexpr int kWidth = 30;  // with the prompt below, 19 columns for the line
const std::u16string kPrompt = u"IP-Symcon>";

// An editor on a terminal: the prompt is on screen, keystrokes go in, the screen follows.
struct Terminal {
  explicit Terminal(int width = kWidth)
      : editor(width), screen(width, [](char32_t c) { return DisplayWidth(c); }) {
    screen.write(text::Utf16ToUtf8(kPrompt));
    editor.begin(kPrompt);
  }

  std::vector<LineEditor::Event> type(std::string_view keys) {
    std::vector<LineEditor::Event> events;
    for (const char c : keys) {
      std::string out;
      const auto event = editor.feed(static_cast<unsigned char>(c), out);
      screen.write(out);
      if (event != LineEditor::Event::None) {
        events.push_back(event);
        if (event == LineEditor::Event::Line) lines.push_back(text::Utf16ToUtf8(editor.take()));
        editor.begin(kPrompt);
        screen.write(text::Utf16ToUtf8(kPrompt));
      }
    }
    return events;
  }

  std::string line() const { return text::Utf16ToUtf8(editor.line()); }

  LineEditor editor;
  test::TerminalScreen screen;
  std::vector<std::string> lines;
};

struct EditCase {
  const char* name;
  std::string keys;
  std::string line;  // the line being edited afterwards
  std::string row;   // what its row of the screen shows
  int column;        // where the cursor is
};

class LineEditing : public ::testing::TestWithParam<EditCase> {};

TEST_P(LineEditing, LineAndScreenAgree) {
  const EditCase& c = GetParam();
  Terminal t;
  EXPECT_TRUE(t.type(c.keys).empty());
  EXPECT_EQ(t.line(), c.line);
  EXPECT_EQ(t.screen.currentRow(), c.row);
  EXPECT_EQ(t.screen.cursorColumn(), c.column);
  EXPECT_EQ(t.screen.cursorRow(), 0);
  EXPECT_FALSE(t.screen.fault()) << t.screen.faultNote();
}

const std::string k20 = std::string(20, 'x');

INSTANTIATE_TEST_SUITE_P(
    Keys, LineEditing,
    ::testing::Values(
        EditCase{"echo", "ls -v", "ls -v", "IP-Symcon>ls -v", 15},
        EditCase{"del_erases", "lx\x7fs", "ls", "IP-Symcon>ls", 12},
        EditCase{"ctrl_h_erases", "abc\bd", "abd", "IP-Symcon>abd", 13},
        EditCase{"erase_at_start_does_nothing",
                 "\x7f\x7f"
                 "a",
                 "a", "IP-Symcon>a", 11},
        EditCase{"umlaut_one_column", "K\xC3\xA4se", "K\xC3\xA4se", "IP-Symcon>K\xC3\xA4se", 14},
        EditCase{"wide_two_columns", "\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC",
                 "IP-Symcon>\xE6\x97\xA5\xE6\x9C\xAC", 14},
        EditCase{"erase_wide", "\xE6\x97\xA5\xE6\x9C\xAC\x7f", "\xE6\x97\xA5",
                 "IP-Symcon>\xE6\x97\xA5", 12},
        EditCase{"left_then_insert", "acd\x1b[D\x1b[Db", "abcd", "IP-Symcon>abcd", 12},
        EditCase{"left_over_wide", "\xE6\x97\xA5x\x1b[D\x1b[D", "\xE6\x97\xA5x",
                 "IP-Symcon>\xE6\x97\xA5x", 10},
        EditCase{"right_stops_at_end", "ab\x1b[D\x1b[C\x1b[C\x1b[C", "ab", "IP-Symcon>ab", 12},
        EditCase{"ctrl_a_ctrl_e",
                 "bc\x01"
                 "a\x05"
                 "d",
                 "abcd", "IP-Symcon>abcd", 14},
        EditCase{"home_end_keys",
                 "bc\x1b[Ha\x1b[F"
                 "d\x1b[1~"
                 "0\x1bOF"
                 "e\x1b[7~/",
                 "/0abcde", "IP-Symcon>/0abcde", 11},
        EditCase{"ctrl_b_ctrl_f",
                 "ac\x02"
                 "b\x06"
                 "d",
                 "abcd", "IP-Symcon>abcd", 14},
        EditCase{"delete_key", "abc\x01\x1b[3~", "bc", "IP-Symcon>bc", 10},
        EditCase{"ctrl_d_deletes_in_line", "abc\x01\x04", "bc", "IP-Symcon>bc", 10},
        EditCase{"ctrl_u_erases_before_cursor", "set 1 2\x1b[D\x15", "2", "IP-Symcon>2", 10},
        EditCase{"ctrl_k_erases_from_cursor", "ab cd\x1b[D\x1b[D\x0b", "ab ", "IP-Symcon>ab ", 13},
        EditCase{"ctrl_w_erases_word", "ls foo bar  \x17", "ls foo ", "IP-Symcon>ls foo ", 17},
        EditCase{"ctrl_w_mid_line", "cd abc def\x1b[D\x1b[D\x1b[D\x1b[D\x17", "cd  def",
                 "IP-Symcon>cd  def", 13},
        EditCase{"unknown_keys_ignored",
                 "a\x1b[5~\x1bOPb\x1b[1;5C\x07\x0f"
                 "c",
                 "abc", "IP-Symcon>abc", 13},
        EditCase{"alt_key_keeps_key", "a\x1bx", "ax", "IP-Symcon>ax", 12},
        EditCase{"c1_and_broken_utf8_dropped",
                 "a\xC2\x85\xFF"
                 "b",
                 "ab", "IP-Symcon>ab", 12},
        EditCase{"long_line_scrolls", k20 + "yz", k20 + "yz",
                 "IP-Symcon>" + std::string(17, 'x') + "yz", 29},
        EditCase{"long_line_home", k20 + "yz\x01", k20 + "yz", "IP-Symcon>" + std::string(19, 'x'),
                 10},
        EditCase{"long_line_back_to_end", k20 + "yz\x01\x05", k20 + "yz",
                 "IP-Symcon>" + std::string(17, 'x') + "yz", 29},
        EditCase{"wide_at_row_end", std::string(18, 'x') + "\xE6\x97\xA5",
                 std::string(18, 'x') + "\xE6\x97\xA5",
                 "IP-Symcon>" + std::string(17, 'x') + "\xE6\x97\xA5", 29},
        EditCase{"erase_brings_start_back", k20 + "\x7f\x7f", std::string(18, 'x'),
                 "IP-Symcon>" + std::string(18, 'x'), 28},
        EditCase{"combining_mark_joins", "u\xCC\x88x", "u\xCC\x88x", "IP-Symcon>u\xCC\x88x", 12}),
    [](const auto& test) { return std::string(test.param.name); });

using Event = LineEditor::Event;
using namespace std::string_literals;

TEST(LineEditor, EnterEndsTheLineOnceForCrLfAndCrNul) {
  Terminal t;
  EXPECT_EQ(t.type("ls\r\ncd 1\r\0?\n"s),
            (std::vector<Event>{Event::Line, Event::Line, Event::Line}));
  EXPECT_EQ(t.lines, (std::vector<std::string>{"ls", "cd 1", "?"}));
  EXPECT_EQ(t.screen.row(0), "IP-Symcon>ls");
  EXPECT_EQ(t.screen.row(1), "IP-Symcon>cd 1");
  EXPECT_EQ(t.screen.row(2), "IP-Symcon>?");
  EXPECT_EQ(t.screen.cursorRow(), 3);
}

TEST(LineEditor, EnterShowsAScrolledLineFromItsEnd) {
  Terminal t;
  t.type(k20 + "yz\x01\r");
  EXPECT_EQ(t.lines, std::vector<std::string>{k20 + "yz"});
  EXPECT_EQ(t.screen.row(0), "IP-Symcon>" + std::string(17, 'x') + "yz");
  EXPECT_FALSE(t.screen.fault()) << t.screen.faultNote();
}

TEST(LineEditor, CtrlCDropsTheLineAndCtrlDEndsOnlyAnEmptyOne) {
  Terminal t;
  EXPECT_EQ(t.type("set 1\x1b[D\x03"), std::vector<Event>{Event::Interrupt});
  EXPECT_EQ(t.screen.row(0), "IP-Symcon>set 1^C");
  EXPECT_TRUE(t.lines.empty());
  EXPECT_EQ(t.line(), "");
  EXPECT_TRUE(t.editor.history().empty());
  EXPECT_TRUE(t.type("x\x7f").empty());
  EXPECT_EQ(t.type("\x04"), std::vector<Event>{Event::EndOfInput});
}

TEST(LineEditor, LongLinesStopAtTheLimit) {
  Terminal t(200);
  std::string keys(LineEditor::kMaxLine - 1, 'a');
  keys +=
      "\xF0\x9F\x98\x80"
      "b";  // a surrogate pair no longer fits, one code unit does
  t.type(keys);
  EXPECT_EQ(t.editor.line().size(), LineEditor::kMaxLine);
  EXPECT_EQ(t.editor.line().back(), u'b');
  t.type("c");
  EXPECT_EQ(t.editor.line().size(), LineEditor::kMaxLine);
  EXPECT_EQ(t.screen.bells(), 2);
  EXPECT_FALSE(t.screen.fault()) << t.screen.faultNote();
}

TEST(LineEditor, HistoryWalksLinesAndKeepsTheDraft) {
  Terminal t;
  t.type("one\rtwo\rtwo\r\rthree\rdra");
  EXPECT_EQ(t.editor.history().size(), 3u);  // no repeats, no empty lines
  const struct {
    const char* keys;
    const char* line;
  } steps[] = {
      {"\x1b[A", "three"}, {"\x1b[A", "two"}, {"\x1bOA", "one"}, {"\x10", "one"},
      {"\x1b[B", "two"},   {"\x0e", "three"}, {"\x1b[B", "dra"}, {"\x1b[B", "dra"},
  };
  for (const auto& step : steps) {
    t.type(step.keys);
    EXPECT_EQ(t.line(), step.line) << "after " << step.keys;
    EXPECT_EQ(t.screen.currentRow(), std::string("IP-Symcon>") + step.line);
  }
  // A recalled line is edited and sent as a new one.
  t.type(
      "\x1b[A\x1b[A"
      "2\r");
  EXPECT_EQ(t.lines.back(), "two2");
  EXPECT_EQ(t.editor.history().back(), u"two2");
  EXPECT_FALSE(t.screen.fault()) << t.screen.faultNote();
}

TEST(LineEditor, HistoryKeepsTheLast100Lines) {
  Terminal t;
  for (int i = 0; i < 105; ++i) t.type(std::to_string(i) + "\r");
  ASSERT_EQ(t.editor.history().size(), kHistoryLines);
  EXPECT_EQ(t.editor.history().front(), u"5");
  std::string up;
  for (int i = 0; i < 120; ++i) up += "\x1b[A";
  t.type(up);
  EXPECT_EQ(t.line(), "5");
}

// Completes command words, then names of "children" after "cd ", as the shell does.
Completion Children(std::u16string_view before) {
  const std::vector<std::u16string> commands = {u"cd", u"exit", u"find", u"help", u"ls"};
  const std::vector<std::u16string> names = {u"\"Wohn zimmer\"", u"K\u00fcche", u"Keller",
                                             u"\"Kinder zimmer\""};
  Completion result;
  const std::size_t blank = before.rfind(u' ');
  result.start = blank == std::u16string_view::npos ? 0 : blank + 1;
  const std::u16string_view word = before.substr(result.start);
  for (const auto& candidate : blank == std::u16string_view::npos ? commands : names) {
    const std::u16string_view bare =
        candidate.front() == u'"' && (word.empty() || word.front() != u'"')
            ? std::u16string_view(candidate).substr(1)
            : std::u16string_view(candidate);
    if (bare.substr(0, word.size()) == word) result.candidates.push_back(candidate);
  }
  return result;
}

TEST(LineEditor, TabCompletesWordsAndNames) {
  const struct {
    const char* keys;
    const char* line;
    int bells;
  } cases[] = {
      {"l\t", "ls ", 0},
      {"he\t", "help ", 0},
      {"x\t", "x", 1},
      {"cd Wo\t", "cd \"Wohn zimmer\" ", 0},
      {"cd K\xC3\xBC\t",
       "cd K\xC3\xBC"
       "che ",
       0},
      {"cd Ke\t", "cd Keller ", 0},
      {"cd \"Ki\t", "cd \"Kinder zimmer\" ", 0},
      {"cd K\t", "cd K", 1},
      {"c Wo\x01\x06\t", "cd  Wo", 0},  // the word before the cursor, the rest stays
  };
  for (const auto& c : cases) {
    Terminal t;
    t.editor.setCompleter(Children);
    t.type(c.keys);
    EXPECT_EQ(t.line(), c.line) << c.keys;
    EXPECT_EQ(t.screen.bells(), c.bells) << c.keys;
    EXPECT_EQ(t.screen.currentRow(), std::string("IP-Symcon>") + c.line);
    EXPECT_FALSE(t.screen.fault()) << t.screen.faultNote();
  }
}

TEST(LineEditor, SecondTabListsCandidatesInColumnsAndRedrawsTheLine) {
  Terminal t(40);
  t.editor.setCompleter(Children);
  t.type("cd K\t\t");
  ASSERT_EQ(t.screen.rowCount(), 4);
  // Column-wise: "Küche", "Keller" in the first column, "Kinder zimmer" in the second.
  EXPECT_EQ(t.screen.row(1),
            "K\xC3\xBC"
            "che" +
                std::string(12, ' ') + "\"Kinder zimmer\"");
  EXPECT_EQ(t.screen.row(2), "Keller");
  EXPECT_EQ(t.screen.row(3), "IP-Symcon>cd K");
  EXPECT_EQ(t.screen.cursorColumn(), 14);
  EXPECT_EQ(t.line(), "cd K");
  EXPECT_FALSE(t.screen.fault()) << t.screen.faultNote();
}

TEST(LineEditor, ResizeRedrawsForTheNewWidth) {
  Terminal t(60);
  t.type(k20 + "yz");
  EXPECT_EQ(t.screen.currentRow(), "IP-Symcon>" + k20 + "yz");
  std::string out;
  t.editor.resize(20, out);
  test::TerminalScreen narrow(20, [](char32_t c) { return DisplayWidth(c); });
  narrow.write(out);
  EXPECT_EQ(narrow.currentRow(), "IP-Symcon>" + std::string(7, 'x') + "yz");
  EXPECT_EQ(narrow.cursorColumn(), 19);
  EXPECT_FALSE(narrow.fault()) << narrow.faultNote();
}

TEST(DisplayWidth, CountsColumnsAsATerminalDoes) {
  EXPECT_EQ(DisplayWidth(U'a'), 1);
  EXPECT_EQ(DisplayWidth(U'\u00fc'), 1);
  EXPECT_EQ(DisplayWidth(U'\u65e5'), 2);  // CJK
  EXPECT_EQ(DisplayWidth(U'\uff21'), 2);  // fullwidth A
  EXPECT_EQ(DisplayWidth(U'\U0001F600'), 2);
  EXPECT_EQ(DisplayWidth(U'\u0308'), 0);  // combining diaeresis
  EXPECT_EQ(DisplayWidth(U'\u200b'), 0);  // zero width space
  EXPECT_EQ(DisplayWidth(u"\x1b[36mIP-Symcon>\x1b[0m"), 10);
}

}  // namespace
}  // namespace velmar::ssh
