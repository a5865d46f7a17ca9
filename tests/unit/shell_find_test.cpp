#include <gtest/gtest.h>

#include "shell/find.h"

namespace velmar::shell {
namespace {

TEST(ShellFind, NamesMatchByCaseWordAndIgnoreCaseOptions) {
  const std::u16string names[] = {u"Lights", u"Light 1", u"Ceiling Light", u"ceiling light"};
  struct Case {
    std::u16string pattern;
    FindOptions options;
    bool expected[4];
  };
  const Case cases[] = {
      {u"Light", {}, {true, true, true, false}},
      {u"light", {.ignoreCase = true}, {true, true, true, true}},
      {u"Light", {.wholeWord = true}, {false, true, true, false}},
      {u"light", {.ignoreCase = true, .wholeWord = true}, {false, true, true, true}},
      {u"g L", {}, {false, false, false, false}},  // the pattern's blank is not a word boundary
      {u"Ceiling", {.wholeWord = true}, {false, false, true, false}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(NameMatches(names[i], c.pattern, c.options), c.expected[i])
          << "name " << i << ", pattern length " << c.pattern.size();
    }
  }
}

TEST(ShellFind, IgnoreCaseFoldsEveryLetterByUnicodeSimpleFolding) {
  const FindOptions ignoreCase{.ignoreCase = true};
  struct Case {
    std::u16string name;
    std::u16string pattern;
    bool expected;
  };
  const Case cases[] = {
      {u"K\u00fcche", u"K\u00dcCHE", true},
      {u"K\u00c4se", u"k\u00e4se", true},
      {u"\u0141azienka", u"\u0142AZIENKA", true},                              // Polish
      {u"\u041a\u0443\u0445\u043d\u044f", u"\u043a\u0423\u0425", true},        // Cyrillic
      {u"\u03a3\u03b1\u03bb\u03cc\u03bd\u03b9", u"\u03c3\u0391\u039b", true},  // Greek
      {u"Stra\u00dfe", u"STRA\u1E9EE", true},  // capital sharp s folds to ß
      {u"Stra\u00dfe", u"STRASSE", false},     // simple folding: ß stays one letter
      {u"\U00010400x", u"\U00010428X", true},  // Deseret, above U+FFFF
      {u"\u0130stanbul", u"istanbul", false},  // dotted capital I has no simple folding
      {u"\u03a9-Wert", u"\u03c9-WERT", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NameMatches(c.name, c.pattern, ignoreCase), c.expected)
        << "name length " << c.name.size() << ", pattern length " << c.pattern.size();
  }
  // Without the option every character counts as it is.
  EXPECT_FALSE(NameMatches(u"K\u00fcche", u"K\u00dcche", {}));
}

// "Æ" is a letter like any other: not a word boundary, in names or in patterns.
TEST(ShellFind, AeIsALetterNotAWordBoundary) {
  EXPECT_FALSE(NameMatches(u"a\u00c6b", u"b", {.wholeWord = true}));
  EXPECT_TRUE(NameMatches(u"\u00c6ble K\u00e6lder", u"\u00c6ble", {.wholeWord = true}));
  EXPECT_TRUE(NameMatches(u"\u00c6BLE", u"\u00e6ble", {.ignoreCase = true, .wholeWord = true}));
  EXPECT_FALSE(NameMatches(u"Ceiling Light", u"\u00c6Light\u00c6", {}));
  EXPECT_FALSE(NameMatches(u"Light", u"\u00c6Light", {}));
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
