// The levels the standard shell's commands carry: what each user level may run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "access/access_control.h"
#include "shell/command_table.h"
#include "text/encoding.h"

namespace velmar::app {
namespace {

TEST(CommandLevelsTest, LookingAroundIsLevelOneChangesAndPingFiveWhoTen) {
  telnet::CommandTable table = shell::CommandTable();
  table.push_back(access::WhoCommand(std::make_shared<access::AccessControl>()));
  struct Row {
    std::u16string word;
    int level;
    bool changesHome;
  };
  const Row rows[] = {
      {u"LS", 1, false},   {u"DIR", 1, false},    {u"CD", 1, false},     {u"CD..", 1, false},
      {u"SHOW", 1, false}, {u"FIND", 1, false},   {u"UPTIME", 1, false}, {u"HELP", 1, false},
      {u"RUN", 5, true},   {u"EXECUTE", 5, true}, {u"SET", 5, true},     {u"SETVALUE", 5, true},
      {u"PING", 5, false}, {u"WHO", 10, false},
  };
  for (const Row& row : rows) {
    const auto it = std::find_if(table.begin(), table.end(), [&](const telnet::Command& c) {
      return std::find(c.words.begin(), c.words.end(), row.word) != c.words.end();
    });
    ASSERT_NE(it, table.end()) << text::Utf16ToUtf8(row.word);
    EXPECT_EQ(it->level, row.level) << text::Utf16ToUtf8(row.word);
    EXPECT_EQ(it->changesHome, row.changesHome) << text::Utf16ToUtf8(row.word);
    EXPECT_EQ(it->needsLogin, row.word == u"WHO") << text::Utf16ToUtf8(row.word);
  }
}

}  // namespace
}  // namespace velmar::app
