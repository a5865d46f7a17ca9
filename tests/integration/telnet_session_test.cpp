#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "telnet_fixture.h"

namespace velmar::telnet::testing {
namespace {

using namespace std::chrono_literals;

CommandTable testTable() {
  return {
      echoCommand({u"LS", u"LIST", u"DIR"}, u"ls: "),
      echoCommand({u"CD", u"CD..", u"CD\\"}, u"cd: "),
      echoCommand({u"SHOW"}, u"show: "),
      echoCommand({u"ECHO"}, u""),
      echoCommand({u"DUP"}, u"first: "),
      echoCommand({u"DUP"}, u"second: "),
      echoCommand({u"HELP"}, u"help: "),
      {{u"WIDE"},
       [](Session& session, const std::u16string&) {
         session.WriteFormated(u"1 " + std::u16string(1200, u'w'));
       }},
  };
}

class SessionTest : public TelnetFixture {
 protected:
  void SetUp() override { start(testTable()); }
};

TEST_F(SessionTest, GreetsThenPromptsAfterEachLine) {
  auto client = connect();
  EXPECT_EQ(client->readExactly(kGreeting.size() + kPrompt.size()), kGreeting + kPrompt);
  EXPECT_EQ(client->readFor(50ms), "");  // nothing more until the client sends a line

  // Empty and blank lines give nothing but the next prompt, on the next line.
  client->send("\r\n");
  EXPECT_EQ(client->readExactly(2 + kPrompt.size()), "\r\n" + kPrompt);
  client->send("   \t  \r\n");
  EXPECT_EQ(client->readExactly(2 + kPrompt.size()), "\r\n" + kPrompt);
  // Output that ends with a line end stands one empty line above the prompt.
  client->send("help\r\n");
  EXPECT_EQ(client->readUntil(kPrompt), "help: help\r\n\r\n" + kPrompt);
  EXPECT_EQ(connects_, 1);
}

TEST_F(SessionTest, DispatchesByTheFirstWordInUpperCase) {
  auto client = connectGreeted();
  const struct {
    std::string sent;
    std::string reply;
  } cases[] = {
      {"ls\r\n", "ls: ls"},
      {"LiSt -v\r\n", "ls: LiSt -v"},
      {"dir\n", "ls: dir"},
      {"ls\t-v\r\n", "ls: ls      -v"},  // the tab becomes spaces
      {"lsx\r\n", "Command unknown"},
      {"nosuch thing\r\n", "Command unknown"},
      {"cd..\r\n", "cd: cd.."},
      {"CD\\\r\n", "cd: CD\\"},
      {"cd ..\r\n", "cd: cd .."},
      {"cd \"My Room\"\r\n", "cd: cd \"My Room\""},
      {"show MixedCase\r\n", "show: show MixedCase"},
      {"dup\r\n", "first: dup"},  // the first matching row wins
      {"  echo   a  b  \r\n", "echo   a  b"},
      {"ECHO K\xc3\xbc"
       "che\r\n",
       "ECHO K\xc3\xbc"
       "che"},
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(*client, c.sent), c.reply + "\r\n") << c.sent;
}

TEST_F(SessionTest, AssemblesAndCleansLinesAsTyped) {
  auto client = connectGreeted();
  client->send("\r\n");  // past the first line
  client->readUntil(kPrompt);
  const struct {
    std::string sent;
    std::string reply;
  } cases[] = {
      {"echo a\r\n", "echo a"},
      {"echo a\n", "echo a"},
      {std::string("echo a\r\0\n", 9), "echo a"},
      {"echo\ta\r\n", "echo    a"},
      {"echo ab\bc\r\n", "echo ac"},
      {"\b\becho a\r\n", "echo a"},
      {"echo ab\x7f\r\n", "echo a"},  // DEL erases as backspace does
      {"echo a\x1b[A\x1b[Db\r\n", "echo ab"},
      {"echo a\r", "echo a"},  // a bare CR ends the line
      {"echo a~b\r\n", "echo ab"},
      {"echo 21 \xb0"
       "C\r\n",
       "echo 21 C"},  // not UTF-8: the byte is dropped alone
      {"echo 21 \xc2\xb0"
       "C\r\n",
       "echo 21 \xc2\xb0"
       "C"},
      {"echo $'{}\r\n", "echo $'{}"},
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(*client, c.sent), c.reply + "\r\n") << c.sent;
}

TEST_F(SessionTest, EachLineEndEndsOneLineAlsoWhenSplit) {
  auto client = connectGreeted();
  client->send("ls\r");
  EXPECT_EQ(client->readUntil(kPrompt), "ls: ls\r\n\r\n" + kPrompt);
  // NUL and LF after the CR belong to its line end, though they arrive later.
  client->send(std::string("\0", 1));
  client->send("\n");
  EXPECT_EQ(client->readFor(100ms), "");
  client->send(std::string("ls 1\r\0ls 2\nls 3\r\n", 17));
  std::string replies;
  for (int i = 0; i < 3; ++i) replies += client->readUntil(kPrompt);
  EXPECT_EQ(replies, "ls: ls 1\r\n\r\n" + kPrompt + "ls: ls 2\r\n\r\n" + kPrompt +
                         "ls: ls 3\r\n\r\n" + kPrompt);
  EXPECT_EQ(client->readFor(100ms), "");
}

TEST_F(SessionTest, NegotiationIsAnsweredAndNeverReachesALine) {
  const std::string negotiation = "\xff\xfd\x01\xff\xfb\x27";  // IAC DO ECHO, IAC WILL NEW-ENVIRON
  auto client = connectGreeted();
  // The first command brings the offer of BINARY both ways, then the refusals.
  EXPECT_EQ(exchange(*client, negotiation + "ls\r\n"),
            std::string("\xff\xfb\x00\xff\xfd\x00\xff\xfc\x01\xff\xfe\x27", 12) + "ls: ls\r\n");
  // On a later line the same: each request is refused once, the line stays clean.
  EXPECT_EQ(exchange(*client, negotiation + "ls\r\n"),
            "\xff\xfc\x01\xff\xfe\x27"
            "ls: ls\r\n");
}

TEST_F(SessionTest, EachSessionLaysOutForTheWidthItsClientReports) {
  auto naws = [](int width) {
    return std::string("\xff\xfa\x1f", 3) + static_cast<char>(width >> 8) +
           static_cast<char>(width & 0xff) + std::string("\0\x18\xff\xf0", 4);
  };
  auto wide = [](TelnetClient& client) {
    const std::string reply = exchange(client, "wide\r\n");
    return reply.size() - reply.find_first_of('w') - 2;  // the w's before CR LF
  };
  auto reporting = connectGreeted();
  auto silent = connectGreeted();
  reporting->send(std::string("\xff\xfb\x1f", 3) + naws(40));  // WILL NAWS and a report
  EXPECT_EQ(wide(*reporting), 40u);
  EXPECT_EQ(wide(*silent), 80u);  // the configured width
  const struct {
    int reported;
    std::size_t used;
  } cases[] = {{132, 132}, {5, 20}, {5000, 1000}};
  for (const auto& c : cases) {
    reporting->send(naws(c.reported));
    EXPECT_EQ(wide(*reporting), c.used) << c.reported;
  }
}

TEST_F(SessionTest, ExitWordsEndTheConnectionAfterAPause) {
  const std::vector<std::string> lines = {"exit",   "EXIT",  "ExIt", "  exit  ", "exit now please",
                                          "logout", "Bye\t1"};
  std::vector<std::future<std::string>> runs;
  for (const auto& line : lines) {
    runs.push_back(std::async(std::launch::async, [this, line] {
      auto client = connectGreeted();
      client->send("\r\n");  // the words work on later lines as well as on the first
      client->readUntil(kPrompt);
      client->send(line + "\r\n");
      std::string reply = client->readUntil("Have a nice day!\r\n");
      const auto said = std::chrono::steady_clock::now();
      if (!client->waitClosed(10s)) return std::string("not closed");
      const auto pause = std::chrono::steady_clock::now() - said;
      // Loose bounds: the pause is 2000 ms.
      if (pause < 1800ms || pause > 8s) return std::string("pause out of range");
      return reply + client->readToEnd();
    }));
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(runs[i].get(), "Disconnecting... Have a nice day!\r\n") << lines[i];
  }
  ASSERT_TRUE(waitForNoConnections());
  EXPECT_EQ(disconnects_, static_cast<int>(lines.size()));
}

TEST_F(SessionTest, EachClientHasItsOwnState) {
  CommandTable table;
  table.push_back({{u"CD"}, [](Session& session, const std::u16string& line) {
                     session.prompt = line.substr(3);
                     session.currentDir = 4711;
                   }});
  table.push_back({{u"STATE"}, [](Session& session, const std::u16string&) {
                     session.WriteLn(u"dir " + std::u16string(1, u'0' + session.currentDir % 10) +
                                     u" startup " + (session.startup ? u"1" : u"0"));
                   }});
  listener_.setActive(false);
  start(std::move(table));

  auto first = connectGreeted();
  first->send(
      "cd K\xc3\xbc"
      "che\r\n");
  EXPECT_EQ(first->readUntil("\x1b[0m"),
            "\r\n\x1b[36;1mK\xc3\xbc"
            "che>\x1b[0m");

  // A second client starts afresh and does not reset the first one.
  auto second = connectGreeted();
  EXPECT_EQ(exchange(*second, "state\r\n"), "dir 0 startup 0\r\n");
  first->send("state\r\n");
  EXPECT_EQ(first->readUntil("che>\x1b[0m"),
            "dir 1 startup 0\r\n\r\n\x1b[36;1mK\xc3\xbc"
            "che>\x1b[0m");
}

TEST_F(SessionTest, ASilentClientBlocksNobody) {
  auto silent = connectGreeted();
  silent->send("ec");      // half a line, never finished
  auto quiet = connect();  // connected, never reads
  auto a = connectGreeted();
  auto b = connectGreeted();
  EXPECT_EQ(exchange(*a, "ls a\r\n"), "ls: ls a\r\n");
  EXPECT_EQ(exchange(*b, "ls b\r\n"), "ls: ls b\r\n");
  EXPECT_EQ(exchange(*a, "ls a\r\n"), "ls: ls a\r\n");
}

// A session that waits at its prompt without input for the idle limit is closed with a line
// that says so. A command that runs longer is not idle: the limit starts at each prompt.
TEST_F(SessionTest, AnIdleSessionIsClosedButARunningCommandIsNotIdle) {
  const struct {
    int minutes;
    std::string farewell;
  } cases[] = {
      {3, "\r\nIdle for 3 minutes: session closed.\r\n"},
      {1, "\r\nIdle for 1 minute: session closed.\r\n"},
  };
  for (const auto& c : cases) {
    listener_.setActive(false);
    idle_ = {c.minutes, 300ms / c.minutes};
    start({{{u"SLOW"}, [](Session& session, const std::u16string&) {
              session.delay(900);  // three times the limit
              session.WriteLn(u"done");
            }}});
    auto client = connectGreeted();
    client->send("slow\r\n");
    EXPECT_EQ(client->readUntil(kPrompt), "done\r\n\r\n" + kPrompt);
    EXPECT_EQ(client->readToEnd(), c.farewell);
    ASSERT_TRUE(waitForNoConnections());
  }
  EXPECT_EQ(disconnects_, 2);
}

TEST_F(SessionTest, AFailingCommandEndsOnlyItsConnection) {
  listener_.setActive(false);
  start({{{u"FAIL"}, [](Session& session, const std::u16string&) {
            session.WriteLn(u"partial");
            throw Error("lost the server");
          }}});
  auto other = connectGreeted();
  auto client = connectGreeted();
  client->send("fail\r\n");
  EXPECT_EQ(client->readToEnd(), "partial\r\n");  // no failure text, then closed
  EXPECT_EQ(exchange(*other, "what\r\n"), "Command unknown\r\n");
  other.reset();
  ASSERT_TRUE(waitForNoConnections());
  EXPECT_EQ(disconnects_, 2);
}

TEST_F(SessionTest, AFailingConnectHookIsReportedAsOneLine) {
  failConnect_ = true;
  auto client = connect();
  client->send("\xff\xfd\x01\xff\xfb\x1f");  // a client's negotiation, never read
  EXPECT_EQ(client->readToEnd(),
            "Welcome to the IPS Terminal Server powered by Velmar v2.0.7\r\n"
            "You are logged in as guest. Type \"help\" if you need assistance.\r\n"
            "No API client for this connection\r\n");
  ASSERT_TRUE(waitForNoConnections());
  EXPECT_EQ(disconnects_, 1);
}

TEST_F(SessionTest, WithoutLoginMessageNoEmptyLineFollows) {
  listener_.setActive(false);
  listener_.setLoginMessage(u"");
  start(testTable());
  auto client = connect();
  const std::string withoutLogin = kGreeting.substr(0, kGreeting.find("Have a lot")) + kPrompt;
  EXPECT_EQ(client->readExactly(withoutLogin.size()), withoutLogin);
}

}  // namespace
}  // namespace velmar::telnet::testing
