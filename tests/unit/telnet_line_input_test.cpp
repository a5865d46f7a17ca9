#include <gtest/gtest.h>

#include <string>

#include "telnet/line_input.h"
#include "telnet/utf8_stream.h"

namespace velmar::telnet {
namespace {

std::u16string decode(std::string_view bytes) {
  Utf8StreamDecoder decoder;
  std::u16string out;
  for (const char b : bytes) decoder.feed(static_cast<unsigned char>(b), out);
  decoder.flush(out);
  return out;
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::u16string expected;
};

TEST(Utf8StreamDecoderTest, DecodesValidAndReplacesEachInvalidByte) {
  const DecodeCase cases[] = {
      {"ascii", "ls -v", u"ls -v"},
      {"two-byte",
       "K\xc3\xbc"
       "che",
       u"Küche"},
      {"three-byte", "21 \xe2\x82\xac", u"21 €"},
      {"four-byte", "\xf0\x9f\x98\x80", u"\U0001F600"},
      {"latin-1 byte before ascii",
       "21 \xb0"
       "C",
       u"21 \uFFFDC"},
      {"stray continuation bytes", "\x80\xbf", u"\uFFFD\uFFFD"},
      {"lead byte broken by LF", "\xc3\n", u"\uFFFD\n"},
      {"truncated three-byte",
       "\xe2\x82"
       "A",
       u"\uFFFD\uFFFDA"},
      {"overlong two-byte", "\xc0\xaf", u"\uFFFD\uFFFD"},
      {"overlong three-byte", "\xe0\x80\xaf", u"\uFFFD\uFFFD\uFFFD"},
      {"surrogate", "\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"telnet negotiation", "\xff\xfd\x01\xff\xfb'", u"\uFFFD\uFFFD\x01\uFFFD\uFFFD'"},
      {"unfinished at end", "a\xf0\x9f", u"a\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.bytes), c.expected) << c.name;
}

std::u16string assemble(std::u16string_view input) {
  LineAssembler assembler;
  for (const char16_t c : input) {
    if (assembler.put(c)) return assembler.take();
  }
  ADD_FAILURE() << "line not completed";
  return {};
}

TEST(LineAssemblerTest, EditsTheLineAsTheClientTypesIt) {
  struct Case {
    const char* name;
    std::u16string input;
    std::u16string expected;
  } const cases[] = {
      {"LF ends", u"ls\n", u"ls"},
      {"CR LF ends", u"ls\r\n", u"ls"},
      {"CR alone ends", u"ls\rx", u"ls"},
      {"CR NUL ends", std::u16string(u"ls\r\0x", 5), u"ls"},
      {"tab first", u"\tx\n", u"        x"},
      {"tab after three", u"abc\tx\n", u"abc     x"},
      {"tab after eight", u"12345678\tx\n", u"12345678        x"},
      {"backspace on empty", u"\b\bab\n", u"ab"},
      {"backspace after tab removes one space", u"a\t\b\n", u"a      "},
      {"backspace removes a whole surrogate pair", u"a\U0001F600\b\n", u"a"},
      {"DEL erases", u"ab\x7f\n", u"a"},
      {"cursor keys dropped whole", u"ls\x1b[D\x1b[A\x1bOB\n", u"ls"},
      {"function keys with parameters", u"a\x1b[15~\x1b[1;5Cb\x1bOPc\n", u"abc"},
      {"lone ESC dropped, next character kept", u"a\x1bxb\n", u"axb"},
      {"Enter ends an unfinished sequence", u"a\x1b[1\n", u"a"},
      {"other controls kept", u"a\x01\x02\n", u"a\x01\x02"},
  };
  for (const auto& c : cases) EXPECT_EQ(assemble(c.input), c.expected) << c.name;
}

TEST(LineAssemblerTest, DropsCharactersBeyondTheLimitUntilLf) {
  LineAssembler assembler;
  for (std::size_t i = 0; i < kMaxLineLength + 100; ++i) EXPECT_FALSE(assembler.put(u'a'));
  EXPECT_FALSE(assembler.put(u'\b'));  // no editing once over the limit
  EXPECT_TRUE(assembler.put(u'\n'));
  EXPECT_EQ(assembler.take(), std::u16string(kMaxLineLength + 1, u'a'));
  // The next line starts empty.
  EXPECT_FALSE(assembler.put(u'x'));
  EXPECT_TRUE(assembler.put(u'\n'));
  EXPECT_EQ(assembler.take(), u"x");
}

TEST(CleanupTest, KeepsPrintableTextAndDropsTheRest) {
  struct Case {
    const char* name;
    std::u16string input;
    bool startup;
    std::u16string expected;
  } const cases[] = {
      {"plain", u"ls -v", false, u"ls -v"},
      {"controls and NUL", std::u16string(u"l\0s\x01\x1f", 5), false, u"ls"},
      {"tilde on any line", u"a~b", false, u"ab"},
      {"tilde on first line", u"a~b", true, u"ab"},
      {"DEL and C1 controls",
       u"a\x7f\x80\x9f"
       u"b",
       false, u"ab"},
      {"replacement character", u"\uFFFDls", false, u"ls"},
      {"accented letters", u"cd Küche", false, u"cd Küche"},
      {"no-break space and euro", u"a\u00A0€", false, u"a\u00A0€"},
      {"surrogate pair kept", u"x\U0001F600", false, u"x\U0001F600"},
      {"unpaired surrogates dropped",
       u"a\xD800"
       u"b\xDC00",
       false, u"ab"},
      {"negotiation residue on first line", u"$'{}ls", true, u"ls"},
      {"same characters later", u"$'{}ls", false, u"$'{}ls"},
      {"window-size report stays", std::u16string(u"\uFFFD\uFFFD\x1f\x00P\x00\x18ls", 9), true,
       u"Pls"},
  };
  for (const auto& c : cases) EXPECT_EQ(cleanup(c.input, c.startup), c.expected) << c.name;
}

TEST(CleanupTest, NegotiationBytesOnTheFirstLineLeaveTheCommand) {
  // IAC DO ECHO, IAC WILL NEW-ENVIRON, then the command, as a client sends them.
  const std::string bytes = "\xff\xfd\x01\xff\xfb\x27ls\r\n";
  const std::u16string line = assemble(decode(bytes));
  EXPECT_EQ(cleanup(line, true), u"ls");
  EXPECT_EQ(cleanup(line, false), u"'ls");
}

}  // namespace
}  // namespace velmar::telnet
