#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/colors.h"
#include "text/console_layout.h"

namespace velmar::text {
namespace {

using CC = ConsoleColor;

TEST(Colorize, WrapsInSequenceAndReset) {
  struct Case {
    ConsoleColor color;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {CC::ccNone, u"ab\x1b[0m"},
      {CC::ccRed, u"\x1b[31mab\x1b[0m"},
      {CC::ccGreen, u"\x1b[32;1mab\x1b[0m"},
      {CC::ccYellow, u"\x1b[33;1mab\x1b[0m"},
      {CC::ccBlue, u"\x1b[34;1mab\x1b[0m"},
      {CC::ccMagenta, u"\x1b[35mab\x1b[0m"},
      {CC::ccCyan, u"\x1b[36;1mab\x1b[0m"},
      {CC::ccWhite, u"\x1b[37;1mab\x1b[0m"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Colorize(u"ab", c.color), c.expected) << static_cast<int>(c.color);
  }
  // The text is taken as it is, sequences and all.
  EXPECT_EQ(Colorize(u"\x1b[1m", CC::ccRed), u"\x1b[31m\x1b[1m\x1b[0m");
}

TEST(CountHiddenChars, CountsOnlyWholeColourSequences) {
  struct Case {
    std::u16string text;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {u"", 0},
      {u"plain text, no escapes", 0},
      {Colorize(u"ab", CC::ccGreen), 11},
      {u"ab\x1b[31", 0},             // ESC never closed by an "m"
      {u"Hello\x1b[31m\x1b[0m", 9},  // sequences back to back
      {u"m\x1b[0m", 4},              // an "m" before any ESC is visible text
      {u"\x1b[1m\x1b[", 4},          // a trailing unclosed ESC adds nothing
      {u"\x1b[\x1b[1m", 4},          // an ESC that starts no sequence is visible
      {u"x\x1b[\x1b[\x1b", 0},       // many ESCs, no "m" at all
      {u"\x1b[31mred\x1b[0m and more", 9},
      // Text shaped like a sequence hides nothing: letters, an OSC, an ESC without "[".
      {u"\x1b" + std::u16string(300, u'x') + u"m", 0},
      {u"\x1b[2Jm", 0},
      {u"\x1b]0;title\x07m", 0},
      {u"\x1bm", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CountHiddenChars(c.text), c.expected) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(CountHiddenChars, LongRunsOfEscapesStayLinearAndHideNothing) {
  // 200000 ESCs and one final "m": no sequence among them, so the cut keeps one character.
  std::u16string text(200000, u'\x1b');
  text.push_back(u'm');
  EXPECT_EQ(CountHiddenChars(text), 0);
  EXPECT_EQ(LimitChars(text, 1), u"\x1b");
  // The same length of real sequences is counted in full.
  std::u16string colours;
  for (int i = 0; i < 50000; ++i) colours += u"\x1b[0m";
  EXPECT_EQ(CountHiddenChars(colours), 200000);
  EXPECT_EQ(LimitChars(colours + u"abc", 2), colours + u"ab");
}

TEST(LimitChars, CutsToVisibleWidth) {
  const std::u16string ten = u"0123456789";
  const std::u16string hundred(100, u'a');
  const std::u16string green = Colorize(u"ab", CC::ccGreen);
  struct Case {
    std::u16string text;
    std::int32_t limit;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {ten, 80, ten},
      {ten, 10, ten},
      {ten, 3, u"012"},
      {ten, 0, u""},
      {ten, -5, u""},
      {u"", 80, u""},
      // Sequences inside the cut are kept and the visible width is exact.
      {green + u"cdef", 3, green + u"c"},
      // Sequences beyond the cut still widen it: 100 + 9 hidden -> 89 plain characters kept.
      {hundred + Colorize(u"x", CC::ccRed), 80, std::u16string(89, u'a')},
      // A tab is one character like any other.
      {u"\t\tab", 3, u"\t\ta"},
      // A long fake sequence is cut like plain text.
      {u"\x1b" + hundred + u"m", 80, u"\x1b" + std::u16string(79, u'a')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LimitChars(c.text, c.limit), c.expected) << c.limit;
  }
}

TEST(ReplaceLF, NormalisesLineEndsToCrLf) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"a\r\nb\nc\rd", u"a\r\nb\r\ncd"},
      {u"", u""},
      {u"\n\n", u"\r\n\r\n"},
      {u"\r\r\r", u""},
      {u"\n\r", u"\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReplaceLF(c.text), c.expected);
}

TEST(WriteFormatedBytes, DropsLeadWordCutsAndEncodesUtf8) {
  const std::u16string long120(120, u'x');
  struct Case {
    std::u16string line;
    std::int32_t width;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {u"12 abc", 80, "abc\r\n"},
      {u"abc", 80, "abc\r\n"},
      {u" abc", 80, "abc\r\n"},
      {u"", 80, "\r\n"},
      {u"7", 80, "7\r\n"},
      {u"1 a b c", 80, "a b c\r\n"},
      {u"1 " + long120, 80, std::string(80, 'x') + "\r\n"},
      {u"1 K\u00fcche", 80,
       "K\xc3\xbc"
       "che\r\n"},
      {u"1 \U0001F600", 80, "\xf0\x9f\x98\x80\r\n"},
      {u"1 \x1b[34;1mVar\x1b[0m", 3, "\x1b[34;1mVar\x1b[0m\r\n"},
      // The width applies to the whole text before line ends are expanded.
      {u"1 ab\ncd", 3, "ab\r\n\r\n"},
      {u"1 ab\r\ncd", 80, "ab\r\ncd\r\n"},
      {u"1 abc", 0, "\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WriteFormatedBytes(c.line, c.width), c.expected)
        << std::string(c.line.begin(), c.line.end());
  }
}

class ConsoleWidth : public ::testing::Test {
 protected:
  void TearDown() override { gConsoleChars = 80; }
};

TEST_F(ConsoleWidth, StartsAt80AndListFormReadsCurrentWidth) {
  EXPECT_EQ(gConsoleChars.load(), 80);
  const std::vector<std::u16string> lines = {u" Heading", u"", u"3 abcdefgh", u"4 xy"};
  EXPECT_EQ(WriteFormatedBytes(lines), "Heading\r\n\r\nabcdefgh\r\nxy\r\n");
  gConsoleChars = 5;
  EXPECT_EQ(WriteFormatedBytes(lines), "Headi\r\n\r\nabcde\r\nxy\r\n");
  EXPECT_EQ(WriteFormatedBytes(u"1 abcdefgh"), "abcde\r\n");
  EXPECT_EQ(WriteFormatedBytes(std::vector<std::u16string>{}), "");
}

}  // namespace
}  // namespace velmar::text
