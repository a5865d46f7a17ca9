#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "text/arguments.h"

namespace velmar::text {
namespace {

using Lines = std::vector<std::u16string>;

TEST(Trim, RemovesControlsAndSpacesAtBothEnds) {
  EXPECT_EQ(Trim(u" \t\r\n a b \x01\x1f"), u"a b");
  EXPECT_EQ(Trim(u"  \t "), u"");
  EXPECT_EQ(Trim(u"\u00a0x\u00a0"), u"\u00a0x\u00a0");  // no-break space is above 32
}

TEST(StrToInt, ReadsSigned32BitDecimals) {
  struct Case {
    std::u16string text;
    std::optional<std::int32_t> expected;
  };
  const std::vector<Case> cases = {
      {u"0", 0},
      {u"12345", 12345},
      {u"-1", -1},
      {u"+7", 7},
      {u"007", 7},
      {u"2147483647", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"2147483648", std::nullopt},
      {u"-2147483649", std::nullopt},
      {u"99999999999999999999", std::nullopt},
      {u"", std::nullopt},
      {u"-", std::nullopt},
      {u"1a", std::nullopt},
      {u" 1", std::nullopt},
      {u"1 ", std::nullopt},
      {u"0x10", std::nullopt},
      {u"1.0", std::nullopt},
      {u"\uff11", std::nullopt},  // full-width digit one
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TryStrToInt(c.text), c.expected) << std::string(c.text.begin(), c.text.end());
  }
  EXPECT_EQ(StrToInt(u"-42"), -42);
  try {
    StrToInt(u"K\u00fcche");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(),
                 "'K\xc3\xbc"
                 "che' is not a valid integer value");
  }
}

TEST(GetObjectFromCommandline, PicksFirstArgumentOrQuotedName) {
  struct Case {
    std::u16string command;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"cd 12345", u"12345"},
      {u"cd  Living room ", u"Living"},
      {u"cd \"Living room\"", u"Living room"},
      {u"cd \" Living room \" extra", u"Living room"},
      {u"cd \"Living", u""},
      {u"cd", u""},
      {u"cd ", u""},
      {u"cd \t ", u""},
      {u"cd \"\"", u""},
      {u"show\t12", u""},  // only a space ends the command word
      {u"set Temp 21", u"Temp"},
      {u"run K\u00fcche", u"K\u00fcche"},
      {u"cd \tname\t", u"name"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetObjectFromCommandline(c.command), c.expected)
        << std::string(c.command.begin(), c.command.end());
  }
}

TEST(TakeOptionWord, TakesTheWordAnywhereAfterTheCommandWord) {
  struct Case {
    std::u16string command;
    std::optional<std::u16string> rest;
  };
  const std::vector<Case> cases = {
      {u"ls -json", u"ls"},
      {u"ls 12345 -JSON", u"ls 12345"},
      {u"ls -Json -v", u"ls -v"},  // " -v" keeps its blank for the options after it
      {u"show -json \"Living room\"", u"show \"Living room\""},
      {u"tree  -json  -depth 2 -json", u"tree  -depth 2"},
      {u"ls", std::nullopt},
      {u"-json", std::nullopt},               // the command word is no option
      {u"ls -jsonx", std::nullopt},           // a whole word only
      {u"show \"-json\"", std::nullopt},      // quoted: a name
      {u"show \"a -json b\"", std::nullopt},  // inside a quoted name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TakeOptionWord(c.command, u"-json"), c.rest)
        << std::string(c.command.begin(), c.command.end());
  }
}

TEST(Explode, SplitsTrimsAndHonoursQuotes) {
  struct Case {
    std::u16string text;
    char16_t sep;
    bool trim;
    bool quotes;
    Lines expected;
  };
  const std::vector<Case> cases = {
      {u"a,b,,c,", u',', false, false, {u"a", u"b", u"", u"c"}},
      {u" a , b ", u',', true, false, {u"a", u"b"}},
      {u" a , b ", u',', false, false, {u" a ", u" b "}},
      {u"a, ", u',', true, false, {u"a", u""}},
      {u"", u',', true, false, {}},
      {u",a", u',', false, false, {u"", u"a"}},
      {u",", u',', false, false, {u""}},
      {u"x,\"y,z\",w", u',', false, true, {u"x", u"y,z", u"w"}},
      // Without quote handling the quotes are ordinary characters.
      {u"x,\"y,z\",w", u',', false, false, {u"x", u"\"y", u"z\"", u"w"}},
      // A piece that ends at a separator loses a leading separator; the last piece keeps it.
      {u"\",a\",b", u',', false, true, {u"a", u"b"}},
      {u"b,\",a\"", u',', false, true, {u"b", u",a"}},
      // The help pages split words at single spaces.
      {u"one  two three", u' ', true, false, {u"one", u"", u"two", u"three"}},
      // The object model splits ID lists.
      {u"10000, 10001,10002", u',', true, false, {u"10000", u"10001", u"10002"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(explode(c.text, c.sep, c.trim, c.quotes), c.expected)
        << std::string(c.text.begin(), c.text.end());
  }
}

// The restart-from-the-top neighbour swap, as plainly as it can be written.
void ReferenceSort(Lines& lines, char16_t indicator, bool ascending, bool numeric) {
  const auto key = [indicator](const std::u16string& line) {
    const std::size_t marker = line.find(indicator);
    const std::size_t start = marker == std::u16string::npos ? 0 : marker + 1;
    const std::size_t space = line.find(u' ', start);
    return space == std::u16string::npos ? std::u16string() : line.substr(start, space - start);
  };
  const auto greater = [&](const std::u16string& a, const std::u16string& b) {
    if (numeric) return StrToInt(key(a)) > StrToInt(key(b));
    return key(a) > key(b);
  };
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      const bool outOfOrder =
          ascending ? greater(lines[i], lines[i + 1]) : greater(lines[i + 1], lines[i]);
      if (outOfOrder) {
        std::swap(lines[i], lines[i + 1]);
        swapped = true;
        break;
      }
    }
  }
  for (std::u16string& line : lines) std::erase(line, indicator);
}

TEST(SortByCopyStr, Examples) {
  Lines numeric = {u"b #10 q", u"a #9 r", u"c #10 p"};
  SortByCopyStr(numeric, u'#', u"ASC", true);
  EXPECT_EQ(numeric, (Lines{u"a 9 r", u"b 10 q", u"c 10 p"}));

  Lines text = {u"#apple x", u"#Zebra x", u"#app x", u"#\u00c4pfel x"};
  SortByCopyStr(text, u'#', u"ASC", false);
  EXPECT_EQ(text, (Lines{u"Zebra x", u"app x", u"apple x", u"\u00c4pfel x"}));

  // A line without the indicator is keyed from its start; one without a space has the empty
  // key, which sorts first.
  Lines mixed = {u"b rest", u"#a x", u"nospace"};
  SortByCopyStr(mixed, u'#', u"asc", false);
  EXPECT_EQ(mixed, (Lines{u"nospace", u"a x", u"b rest"}));
}

TEST(SortByCopyStr, DirectionIsAscOnlyForAscInAnyCase) {
  const std::vector<std::pair<std::u16string, bool>> directions = {
      {u"ASC", true}, {u"asc", true},   {u"aSc", true},        {u"DESC", false},
      {u"", false},   {u"ASC ", false}, {u"ascending", false}, {u"x", false},
  };
  for (const auto& [direction, ascending] : directions) {
    Lines lines = {u"#2 b", u"#1 a", u"#3 c"};
    SortByCopyStr(lines, u'#', direction, true);
    const Lines expected =
        ascending ? Lines{u"1 a", u"2 b", u"3 c"} : Lines{u"3 c", u"2 b", u"1 a"};
    EXPECT_EQ(lines, expected) << std::string(direction.begin(), direction.end());
  }
}

TEST(SortByCopyStr, ListingSortsByNameThenPosition) {
  // Position marker U+00C6, name marker U+00CC; equal positions keep name order.
  Lines lines = {
      u"\u00c610 12 Variable \u00cctemp 21",
      u"\u00c60 13 Script \u00ccZeta ",
      u"\u00c610 14 Variable \u00ccalpha 1",
      u"\u00c60 15 Instance \u00ccBeta ",
  };
  SortByCopyStr(lines, u'\u00cc', u"ASC", false);
  SortByCopyStr(lines, u'\u00c6', u"ASC", true);
  EXPECT_EQ(lines, (Lines{u"0 15 Instance Beta ", u"0 13 Script Zeta ", u"10 14 Variable alpha 1",
                          u"10 12 Variable temp 21"}));
}

TEST(SortByCopyStr, BadNumericKeyFailsOnlyWhenCompared) {
  Lines lines = {u"#1 a", u"#x b", u"#0 c"};
  const Lines before = lines;
  EXPECT_THROW(SortByCopyStr(lines, u'#', u"ASC", true), Error);
  EXPECT_EQ(lines, before);

  Lines noSpace = {u"#1 a", u"#2"};  // the empty key is not an integer
  EXPECT_THROW(SortByCopyStr(noSpace, u'#', u"ASC", true), Error);

  Lines single = {u"#x"};
  EXPECT_NO_THROW(SortByCopyStr(single, u'#', u"ASC", true));
  EXPECT_EQ(single, Lines{u"x"});

  Lines empty;
  EXPECT_NO_THROW(SortByCopyStr(empty, u'#', u"ASC", true));
}

TEST(SortByCopyStr, MatchesNeighbourSwapMethodOnRandomInput) {
  std::mt19937 rng(20261210);
  const std::vector<std::u16string> words = {u"a",      u"A",       u"ab", u"b", u"",   u"Zz",
                                             u"\u00e4", u"a\u00cc", u"10", u"9", u"-3", u"abc"};
  for (int round = 0; round < 400; ++round) {
    const bool numeric = round % 2 == 0;
    const bool ascending = round % 4 < 2;
    const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 30)(rng);
    Lines lines;
    for (std::size_t i = 0; i < count; ++i) {
      std::u16string key;
      if (numeric) {
        const int value = std::uniform_int_distribution<int>(-4, 4)(rng);  // many ties
        key = std::u16string(u"\u00cc") + [value] {
          const std::string s = std::to_string(value);
          return std::u16string(s.begin(), s.end());
        }();
      } else {
        const auto& word =
            words[std::uniform_int_distribution<std::size_t>(0, words.size() - 1)(rng)];
        const bool marked = std::uniform_int_distribution<int>(0, 5)(rng) != 0;
        key = marked ? u"x\u00cc" + word : word;
      }
      // A unique tail shows whether ties kept their order.
      const std::string id = std::to_string(i);
      lines.push_back(key + u" line" + std::u16string(id.begin(), id.end()));
    }
    Lines expected = lines;
    ReferenceSort(expected, u'\u00cc', ascending, numeric);
    SortByCopyStr(lines, u'\u00cc', ascending ? u"ASC" : u"DESC", numeric);
    ASSERT_EQ(lines, expected) << "round " << round;
  }
}

}  // namespace
}  // namespace velmar::text
