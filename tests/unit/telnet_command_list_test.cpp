#include "telnet/command_list.h"

#include <gtest/gtest.h>

namespace velmar::telnet {
namespace {

TEST(SplitCommandList, SplitsAtSemicolonsOutsideQuotes) {
  using Parts = std::vector<std::u16string>;
  EXPECT_EQ(SplitCommandList(u"ls -v"), Parts{u"ls -v"});
  EXPECT_EQ(SplitCommandList(u"cd 12345; ls -v;set 12345 21"),
            (Parts{u"cd 12345", u"ls -v", u"set 12345 21"}));
  EXPECT_EQ(SplitCommandList(u"cd \"Bad; Keller\";ls"), (Parts{u"cd \"Bad; Keller\"", u"ls"}));
  EXPECT_EQ(SplitCommandList(u" ; ;\tuptime ;"), Parts{u"uptime"});
  EXPECT_EQ(SplitCommandList(u""), Parts{});
  // An unclosed quote keeps the rest in one part, as the shell reads the argument.
  EXPECT_EQ(SplitCommandList(u"cd \"a;b"), Parts{u"cd \"a;b"});
}

TEST(SplitCommandList, BackslashSemicolonIsASemicolonOfTheCommand) {
  using Parts = std::vector<std::u16string>;
  EXPECT_EQ(SplitCommandList(u"set 17345 a\\;b; ls"), (Parts{u"set 17345 a;b", u"ls"}));
  EXPECT_EQ(SplitCommandList(u"set 17345 \\;\\;"), Parts{u"set 17345 ;;"});
  EXPECT_EQ(SplitCommandList(u"set 1 \"a\\;b\""), Parts{u"set 1 \"a;b\""});
  // Other backslashes stay: "cd \" is the root; before a semicolon it needs a blank.
  EXPECT_EQ(SplitCommandList(u"cd \\ ; ls"), (Parts{u"cd \\", u"ls"}));
  EXPECT_EQ(SplitCommandList(u"run a\\b\\"), Parts{u"run a\\b\\"});
}

}  // namespace
}  // namespace velmar::telnet
