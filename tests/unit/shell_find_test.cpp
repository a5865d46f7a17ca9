#include <gtest/gtest.h>

#include "shell/find.h"

namespace velmar::shell {
namespace {

std::u16string Word(std::u16string_view needle) {
  return kWordMark + std::u16string(needle) + kWordMark;
}

TEST(ShellFind, NamesMatchByCaseWordAndIgnoreCaseOptions) {
  const std::u16string names[] = {u"Lights", u"Light 1", u"Ceiling Light", u"ceiling light"};
  struct Case {
    std::u16string needle;
    bool ignoreCase;
    bool expected[4];
  };
  const Case cases[] = {
      {u"Light", false, {true, true, true, false}},
      {u"light", true, {true, true, true, true}},
      {Word(u"Light"), false, {false, true, true, false}},
      {Word(u"light"), true, {false, true, true, true}},
      {u"g L", false, {false, false, false, false}},  // the pattern's blank is not a word mark
      {Word(u"Ceiling"), false, {false, false, true, false}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(NameMatches(names[i], c.needle, c.ignoreCase), c.expected[i])
          << "name " << i << ", needle length " << c.needle.size();
    }
  }
}

TEST(ShellFind, IgnoreCaseFoldsOnlyAToZ) {
  EXPECT_FALSE(NameMatches(u"K\u00c4se", u"k\u00e4se", true));
  EXPECT_TRUE(NameMatches(u"K\u00e4se", u"k\u00e4SE", true));
  // A U+00C6 in the name is a word boundary too.
  EXPECT_TRUE(NameMatches(u"a\u00c6b", Word(u"b"), false));
}

TEST(ShellFind, ProgressLinesFillToTheConsoleWidth) {
  EXPECT_EQ(FindProgressLine(12345, u"Ceiling light", 80),
            u"\b\b\r12345\tCeiling light" + std::u16string(59, u' ') + u"\r\n");
  // Short IDs are padded after the number; a name too long for the width gets no fill.
  EXPECT_EQ(FindProgressLine(7, u"x", 12), u"\b\b\r7    \tx   \r\n");
  const std::u16string longName(100, u'n');
  EXPECT_EQ(FindProgressLine(12345, longName, 80), u"\b\b\r12345\t" + longName + u"\r\n");
  EXPECT_EQ(FindProgressLine(12345, u"ab", 10), u"\b\b\r12345\tab\r\n");
}

TEST(ShellFind, ElapsedSecondsHaveOneRoundedDecimal) {
  EXPECT_EQ(FormatSeconds(0, u"."), u"0.0");
  EXPECT_EQ(FormatSeconds(49, u"."), u"0.0");
  EXPECT_EQ(FormatSeconds(50, u"."), u"0.1");
  EXPECT_EQ(FormatSeconds(1250, u","), u"1,3");
  EXPECT_EQ(FormatSeconds(4294967295u, u"."), u"4294967.3");
}

}  // namespace
}  // namespace velmar::shell
