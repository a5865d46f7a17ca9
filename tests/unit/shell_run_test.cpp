#include <gtest/gtest.h>

#include "shell/run_script.h"

namespace velmar::shell {
namespace {

TEST(ShellRun, OnlyHtmlBreaksMakeLineEnds) {
  struct Case {
    std::u16string output;
    std::u16string text;
  };
  const Case cases[] = {
      {u"a\nb<BR>c", u"ab\r\nc"},
      {u"a\r\nb\rc", u"abc"},
      {u"1<br>2<Br/>3<bR />4<br  />5", u"1\r\n2\r\n3\r\n4<br  />5"},
      {u"<br><br>", u"\r\n\r\n"},
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(BreakTagsToLineEnds(c.output), c.text);
}

}  // namespace
}  // namespace velmar::shell
