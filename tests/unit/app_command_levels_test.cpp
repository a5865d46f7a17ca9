// The levels the standard shell's commands carry: what each user level may run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "access/access_control.h"
#include "app/shell_factory.h"
#include "shell/command_table.h"
#include "telnet/session.h"
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
      {u"LS", 1, false},   {u"DIR", 1, false},    {u"CD", 1, false},      {u"CD..", 1, false},
      {u"SHOW", 1, false}, {u"FIND", 1, false},   {u"UPTIME", 1, false},  {u"HELP", 1, false},
      {u"RUN", 5, true},   {u"EXECUTE", 5, true}, {u"SET", 5, true},      {u"SETVALUE", 5, true},
      {u"PING", 5, false}, {u"WHO", 10, false},   {u"HISTORY", 1, false}, {u"WATCH", 1, false},
      {u"TREE", 1, false},
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

// A client that is never used: the session is only asked for its words.
class UnusedClient final : public telnet::Client {
 public:
  void WriteBytes(std::string_view) override {}
  telnet::InputLine ReadLine(std::chrono::milliseconds) override { return {}; }
  std::size_t InputSecretLn(char16_t*, std::size_t) override { return 0; }
  void SetClientEcho(bool) override {}
  void delay(std::int32_t) override {}
  bool Interrupted() const override { return false; }
  std::int32_t ConsoleChars() const override { return 80; }
  void Disconnect() override {}
  void EndSession() override {}
  bool Connected() const override { return true; }
  const std::string& peer() const override { return peer_; }
  std::string_view transport() const override { return "test"; }

 private:
  std::string peer_ = "127.0.0.1:1";
};

TEST(CommandLevelsTest, TabOffersTheWordsTheUserMayRun) {
  UnusedClient client;
  telnet::Session session(client, StandardSessionConfig(std::make_shared<access::AccessControl>()));
  const auto offers = [&](std::u16string_view word) {
    const auto words = session.CommandWords();
    return std::find(words.begin(), words.end(), word) != words.end();
  };
  struct Case {
    const char* user;  // empty: the guest of a shell without login
    std::uint8_t level;
    bool set, ping, who;
  };
  const Case cases[] = {
      {"", 1, true, true, false},
      {"viewer", 1, false, false, false},
      {"operator", 5, true, true, false},
      {"admin", 10, true, true, true},
  };
  for (const Case& c : cases) {
    session.user = c.user;
    session.userlevel = c.level;
    EXPECT_TRUE(offers(u"LS") && offers(u"EXIT")) << c.user;
    EXPECT_EQ(offers(u"SET"), c.set) << c.user;
    EXPECT_EQ(offers(u"RUN"), c.set) << c.user;
    EXPECT_EQ(offers(u"PING"), c.ping) << c.user;
    EXPECT_EQ(offers(u"WHO"), c.who) << c.user;
  }
}

}  // namespace
}  // namespace velmar::app
