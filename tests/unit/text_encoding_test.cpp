#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "text/encoding.h"

namespace velmar::text {
namespace {

std::string Hex(const std::u16string& text) {
  std::string out;
  char buffer[8];
  for (const char16_t c : text) {
    std::snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(c));
    out += buffer;
  }
  return out;
}

TEST(CodePage, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::u16string text = CodePageToUnicode(all);
  ASSERT_EQ(text.size(), 256u);
  EXPECT_EQ(UnicodeToCodePage(text), all);
}

TEST(CodePage, MapsWindows1252) {
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {"abc", u"abc"},
      {"\x80", u"\u20ac"},
      {"\x81", u"\u0081"},
      {"\x8a\x9f", u"\u0160\u0178"},
      {"\xa0\xe4\xff", u"\u00a0\u00e4\u00ff"},
      {"K\xc3\xbc"
       "che",
       u"K\u00c3\u00bc"
       "che"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CodePageToUnicode(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(UnicodeToCodePage(c.text), c.bytes) << c.bytes;
  }
}

TEST(CodePage, CharactersTheCodePageLacksBecomeQuestionMarks) {
  struct Case {
    std::u16string text;
    std::string codePage;
    std::string ascii;
  };
  const std::vector<Case> cases = {
      {u"a\u0100b", "a?b", "a?b"},      // Ā
      {u"\u0080", "?", "?"},            // the C1 control that 0x80 does not stand for
      {u"\u20ac", "\x80", "?"},         // €
      {u"\u00fc", "\xfc", "?"},         // ü
      {u"x\U0001F600y", "x?y", "x?y"},  // one character, one "?"
      {u"\xd800x", "?x", "?x"},         // unpaired surrogate
      {u"\x7f\x01", "\x7f\x01", "\x7f\x01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnicodeToCodePage(c.text), c.codePage) << Hex(c.text);
    EXPECT_EQ(UnicodeToAscii(c.text), c.ascii) << Hex(c.text);
  }
}

TEST(Utf8, EncodesUtf16) {
  struct Case {
    std::u16string text;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u00fc", "\xc3\xbc"},
      {u"\u20ac", "\xe2\x82\xac"},
      {u"\U0001F600", "\xf0\x9f\x98\x80"},
      {u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
      {u"\xd83d", "\xef\xbf\xbd"},  // high surrogate alone at the end
      {u"\xde00"
       "a",
       "\xef\xbf\xbd"
       "a"},  // low surrogate alone
  };
  for (const Case& c : cases) EXPECT_EQ(Utf16ToUtf8(c.text), c.bytes) << Hex(c.text);
}

TEST(Utf8, DecodesWithOneReplacementPerMaximalInvalidSubsequence) {
  struct Case {
    std::string bytes;
    std::u16string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", u"", true},
      {"K\xc3\xbc"
       "che",
       u"K\u00fc"
       "che",
       true},
      {"\xe2\x82\xac", u"\u20ac", true},
      {"\xf0\x9f\x98\x80", u"\U0001F600", true},
      {"\xef\xbf\xbd", u"\ufffd", true},  // an encoded U+FFFD is valid text
      {"\xfc", u"\ufffd", false},
      {"K\xfc"
       "che",
       u"K\ufffd"
       "che",
       false},
      {"\xc3", u"\ufffd", false},
      {"\xc3(", u"\ufffd(", false},
      {"\xc0\xaf", u"\ufffd\ufffd", false},            // overlong
      {"\xe0\x80\xaf", u"\ufffd\ufffd\ufffd", false},  // overlong
      {"\xed\xa0\x80", u"\ufffd\ufffd\ufffd", false},  // encoded surrogate
      {"\xf0\x9f\x98", u"\ufffd", false},              // truncated
      {"\xf0\x9f\x98x", u"\ufffdx", false},
      {"\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd", false},  // above U+10FFFF
      {"\xbf\xbf", u"\ufffd\ufffd", false},                      // stray continuation bytes
      {"\xff", u"\ufffd", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.bytes), c.text) << Hex(CodePageToUnicode(c.bytes));
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << Hex(CodePageToUnicode(c.bytes));
  }
}

TEST(Utf8, EveryCodePointRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x20000 ? 1 : 97)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::u16string text;
    if (cp < 0x10000) {
      text.push_back(static_cast<char16_t>(cp));
    } else {
      text.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      text.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    const std::string bytes = Utf16ToUtf8(text);
    ASSERT_TRUE(IsValidUtf8(bytes)) << std::hex << static_cast<unsigned>(cp);
    ASSERT_EQ(Utf8ToUtf16(bytes), text) << std::hex << static_cast<unsigned>(cp);
  }
}

TEST(Utf8Repair, DecodesRawBytesAndKeepsTextThatIsAlreadyRight) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"", u""},
      {u"Wohnzimmer", u"Wohnzimmer"},
      // Raw UTF-8 read one character per byte becomes the server's text.
      {CodePageToUnicode("K\xc3\xbc"
                         "che"),
       u"K\u00fc"
       "che"},
      {CodePageToUnicode("\xe2\x82\xac 5"), u"\u20ac 5"},
      {CodePageToUnicode("\xc3\x81rea"), u"\u00c1rea"},  // the second byte is the undefined 0x81
      {CodePageToUnicode("\xf0\x9f\x98\x80"), u"\U0001F600"},
      // Sent as a \u escape: the bytes are not UTF-8, so the text stays as it arrived.
      {u"K\u00fc"
       "che",
       u"K\u00fc"
       "che"},
      {u"Stra\u00dfe \u20ac", u"Stra\u00dfe \u20ac"},
      // A character outside the code page cannot stem from a raw byte either.
      {u"\u0100bc", u"\u0100bc"},
      {u"\u03a9 \u00c3\u00bc", u"\u03a9 \u00c3\u00bc"},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8Repair(c.text), c.expected) << Hex(c.text);
}

}  // namespace
}  // namespace velmar::text
