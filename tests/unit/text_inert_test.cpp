#include "text/inert.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmar::text {
namespace {

constexpr char16_t P = kInertPlaceholder;

TEST(Inert, EveryControlCharacterBecomesThePlaceholderAndNothingElseChanges) {
  // Each C0 character, DEL and each C1 character, one by one; and the characters around them
  // that must stay.
  for (char16_t c = 0; c <= 0x9F; ++c) {
    const bool control = c < 0x20 || c >= 0x7F;
    const std::u16string text{u'a', c, u'b'};
    const std::u16string replaced{u'a', P, u'b'};
    EXPECT_EQ(Inert(text), control ? replaced : text) << int(c);
  }
  for (const std::u16string& keep :
       {std::u16string(u""), std::u16string(u"K\u00FCche \u00A0\u20AC\uFFFD"),
        std::u16string(u"\U0001F600")})
    EXPECT_EQ(Inert(keep), keep);
}

TEST(Inert, ScriptOutputKeepsTabsAndLineBreaksAsCrLf) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"a\tb", u"a\tb"},
      {u"a\r\nb", u"a\r\nb"},
      {u"a\nb\rc", u"a\r\nb\r\nc"},  // lone LF and lone CR: each a line break
      {u"a\r\r\nb", u"a\r\n\r\nb"},  // CR, then CR LF
      {u"\x1b[2J\x07\x08\x9b", {P, u'[', u'2', u'J', P, P, P}},
      {u"\x0b\x0c", {P, P}},  // vertical tab and form feed are not kept
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Inert(c.text, InertLayout::KeepLines), c.expected)
        << std::string(c.text.begin(), c.text.end());
  }
  // On one line, tabs and line breaks are controls like any other.
  EXPECT_EQ(Inert(u"a\tb\r\nc"), (std::u16string{u'a', P, u'b', P, P, u'c'}));
}

TEST(Inert, Utf8TextGetsTheSameTreatment) {
  EXPECT_EQ(InertUtf8("ok\x1b]0;x\x07 \xc2\x9b"
                      "6n K\xc3\xbc"
                      "che"),
            "ok\xEF\xBF\xBD]0;x\xEF\xBF\xBD \xEF\xBF\xBD"
            "6n K\xc3\xbc"
            "che");
}

}  // namespace
}  // namespace velmar::text
