#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "shell/help.h"
#include "telnet/connection.h"
#include "telnet/session.h"
#include "text/console_layout.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

const std::u16string kBlueRun = u"\x1b[34;1mRUN\x1b[0m";

std::u16string separator(int hyphens) {
  return u"\x1b[37;1m" + std::u16string(static_cast<std::size_t>(hyphens), u'-') + u"\x1b[0m";
}

// Runs the help command through a session whose client end is a socket, and returns the
// bytes the client receives.
std::string helpOutput(const std::u16string& commandline) {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  std::string received;
  {
    telnet::Connection connection(fds[0]);
    telnet::Session session(connection, std::make_shared<telnet::SessionConfig>());
    const auto row = HelpCommand();
    EXPECT_EQ(row.words, std::vector<std::u16string>{u"HELP"});
    row.handler(session, commandline);
    connection.Disconnect();
    char buf[4096];
    ssize_t got;
    while ((got = ::recv(fds[1], buf, sizeof buf, 0)) > 0) {
      received.append(buf, static_cast<std::size_t>(got));
    }
  }
  ::close(fds[1]);
  return received;
}

TEST(HelpTest, RunPageAtWidth80ByteForByte) {
  ASSERT_EQ(text::gConsoleChars.load(), 80);
  const std::vector<std::u16string> description = {
      u"Use \"run\" to start a script. You may use the Script ID or the scriptname. If",
      u"the name contains blank spaces you will need to put the whole name in quotes.",
      u"Script names are case sensitive! When using the wait (-w or -wait) parameter,",
      u"the script echos will be prompted to the console. IDs will work global while",
      u"names will only work when you are located in the correct directory.",
  };
  const std::size_t lengths[] = {76, 77, 77, 76, 67};
  for (std::size_t i = 0; i < description.size(); ++i) {
    EXPECT_EQ(description[i].size(), lengths[i]);
  }
  std::u16string expected = separator(78) + u"\r\nCommand: " + kBlueRun +
                            u"\r\nSyntax: RUN ID|name [-w]\r\nSynonyms: EXEC, EXECUTE\r\n" +
                            separator(78) + u"\r\n";
  for (const auto& line : description) expected += line + u"\r\n";
  expected += u"\r\nExample: run \"My beautifull testscript\" -w\r\n";
  EXPECT_EQ(helpOutput(u"help run"), text::Utf16ToUtf8(expected));
}

TEST(HelpTest, WatchAndTreePagesAtWidth80) {
  const std::vector<std::u16string> watch = {
      separator(78),
      u"Command \x1b[34;1mWATCH\x1b[0m",
      u"Syntax: WATCH ID|name [-i SECONDS] [-n COUNT] [-json]",
      u"Synonyms: -",
      separator(78),
      u"Shows the values of a variable, or of the variables in a category or instance",
      u"(at most 200), as they change. The values are asked for every SECONDS (-i,",
      u"from 0.2 to 3600, default 1). On a terminal a table is redrawn in place and a",
      u"changed value is highlighted for one round; elsewhere one line per variable",
      u"comes first and then one line per change. -n COUNT ends after COUNT changes,",
      u"-json writes one JSON object per line. Ctrl+C ends watching.",
      u"",
      u"See also: \x1b[34;1mSHOW\x1b[0m",
      u"",
      u"Example: watch \"Energie Tageswerte\" -i 5",
  };
  EXPECT_EQ(WrapHelpLines(HelpPage(u"help watch", 80), 80), watch);
  const std::vector<std::u16string> tree = {
      separator(78),
      u"Command \x1b[34;1mTREE\x1b[0m",
      u"Syntax: TREE [ID|name] [-depth N] [-json]",
      u"Synonyms: -",
      separator(78),
      u"Draws the objects below a category the way tree draws a directory: each with",
      u"its ID and name, links with their target, children in the order ls lists them.",
      u"Without an argument it starts at your active category. -depth N (1 to 50,",
      u"default 3) says how many levels are shown; at most 5000 lines are drawn. -json",
      u"writes the tree as one JSON document.",
      u"",
      u"See also: \x1b[34;1mLIST\x1b[0m",
      u"",
      u"Example: tree Erdgeschoss -depth 2",
  };
  EXPECT_EQ(WrapHelpLines(HelpPage(u"help tree", 80), 80), tree);
}

TEST(HelpTest, ListPageKeepsItsTabsAndColours) {
  const auto lines = WrapHelpLines(HelpPage(u"help ls", 80), 80);
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[1], u"Command \x1b[34;1mLS\x1b[0m");
  EXPECT_EQ(lines[10], u"-v, -variables:\t\t show variables");
  EXPECT_EQ(lines[13], u"-c, -categories:\t show categories");
  EXPECT_EQ(lines[17], u"-io:\t\t\t shows IO Devices");
  EXPECT_EQ(lines[21], u"See also: \x1b[34;1mSHOW\x1b[0m");
  EXPECT_EQ(lines[23], u"Example: ls -v -s -category");
}

TEST(HelpTest, HistoryPageAtWidth80) {
  const std::vector<std::u16string> expected = {
      separator(78),
      u"Command \x1b[34;1mHISTORY\x1b[0m",
      u"Syntax: HISTORY ID|name [SPAN] [-from DATE] [-to DATE] [-list] [-json]",
      u"Synonyms: -",
      separator(78),
      u"Shows what the archive of IP-Symcon logged for a variable: numbers as a chart",
      u"as wide as your console, with the minimum, maximum, mean and last value",
      u"beneath; counters as bars of their use per hour, day or month; on/off values",
      u"as a band with the share of time on; texts as a table, newest last. A value",
      u"holds until it changes, and a gap in the log stays a gap. SPAN is 1h, 24h (the",
      u"default), 7d, 30d or 1y up to now, or any number of hours, days, weeks or",
      u"years (12h, 2w). -from and -to give the start and the end as dates, in your",
      u"regional format or as ISO 8601; a date with a time is put in quotes. With a",
      u"span, -from starts it and -to ends it. Ctrl+C stops a long read.",
      u"",
      u"-list:\t\t\t a table of every logged value, newest last",
      u"-json:\t\t\t one JSON document for scripts",
      u"",
      u"See also: \x1b[34;1mSHOW\x1b[0m",
      u"",
      u"Example: history Temperatur 7d",
  };
  EXPECT_EQ(WrapHelpLines(HelpPage(u"help history", 80), 80), expected);
}

TEST(HelpTest, OverviewNamesTheProjectSite) {
  const auto lines = WrapHelpLines(HelpPage(u"help", 80), 80);
  const std::vector<std::u16string> expected = {
      separator(78),
      u"  Velmar help overview:",
      separator(78),
      u"Your commands are: ",
      u"run, list, cd, show, set, find, uptime, ping, exit, history, watch, tree",
      u"",
      u"type \"help exit\" for example to get further information on this command. Visit",
      u"https://velmar.dev for details and the newest version of Velmar.",
  };
  EXPECT_EQ(lines, expected);
}

TEST(HelpTest, SelectsThePageByTheWordAfterHelp) {
  const struct {
    std::u16string command;
    std::u16string heading;  // the second line of the page
  } cases[] = {
      {u"HELP", u"  Velmar help overview:"},
      {u"help foo", u"  Velmar help overview:"},
      {u"help ls -v", u"  Velmar help overview:"},
      {u"help help", u"  Velmar help overview:"},
      {u"help logout", u"  Velmar help overview:"},
      {u"help BYE", u"  Velmar help overview:"},
      {u"help run", u"Command: " + kBlueRun},
      {u"help exec", u"Command: " + kBlueRun},
      {u"Help ExEcUtE", u"Command: " + kBlueRun},
      {u"help list", u"Command \x1b[34;1mLS\x1b[0m"},
      {u"help dir", u"Command \x1b[34;1mLS\x1b[0m"},
      {u"help  cd  ", u"Command \x1b[34;1mCD\x1b[0m"},
      {u"help show", u"Command \x1b[34;1mSHOW\x1b[0m"},
      {u"help find", u"Command \x1b[34;1mFIND\x1b[0m"},
      {u"help set", u"Command \x1b[34;1mSETVALUE\x1b[0m"},
      {u"help setValue", u"Command \x1b[34;1mSETVALUE\x1b[0m"},
      {u"help exit", u"Command \x1b[34;1mEXIT\x1b[0m"},
      {u"help uptime", u"Command \x1b[34;1mUPTIME\x1b[0m"},
      {u"help ping", u"Command \x1b[34;1mPING\x1b[0m"},
      {u"help History", u"Command \x1b[34;1mHISTORY\x1b[0m"},
      {u"help watch", u"Command \x1b[34;1mWATCH\x1b[0m"},
      {u"help TREE", u"Command \x1b[34;1mTREE\x1b[0m"},
  };
  for (const auto& c : cases) {
    const auto page = HelpPage(c.command, 80);
    ASSERT_GE(page.size(), 2u);
    EXPECT_EQ(page[1], c.heading) << text::Utf16ToUtf8(c.command);
  }
}

TEST(HelpTest, WithALoginTheOverviewNamesTheCommandsOfTheUsersLevel) {
  struct Case {
    int level;
    std::u16string commands;
  };
  const Case cases[] = {
      {0,
       u"run, list, cd, show, set, find, uptime, ping, exit, history, watch, tree"},  // no login:
                                                                                      // all
      {1, u"list, cd, show, find, uptime, exit, history, watch, tree"},
      {5, u"run, list, cd, show, set, find, uptime, ping, exit, history, watch, tree"},
      {10, u"run, list, cd, show, set, find, uptime, ping, who, exit, history, watch, tree"},
  };
  for (const Case& c : cases) {
    const auto overview = HelpPage(u"help", 80, c.level);
    ASSERT_GT(overview.size(), 4u);
    EXPECT_EQ(overview[4], c.commands) << c.level;
  }
  // who has its page only where there is a login.
  EXPECT_EQ(HelpPage(u"help who", 80, 0), HelpPage(u"help", 80, 0));
  const auto who = HelpPage(u"help who", 80, 10);
  ASSERT_GT(who.size(), 3u);
  EXPECT_EQ(who[2], u"Syntax: WHO");
}

TEST(HelpTest, SeparatorsFollowTheWidth) {
  EXPECT_EQ(HelpPage(u"help exit", 80)[0], separator(78));
  EXPECT_EQ(HelpPage(u"help exit", 10)[0], separator(8));
  EXPECT_EQ(HelpPage(u"help exit", 3)[0], separator(1));
  EXPECT_EQ(HelpPage(u"help exit", 2)[0], separator(0));
  EXPECT_EQ(HelpPage(u"help exit", 0)[0], separator(0));
}

TEST(HelpTest, WrapsOnlyLinesLongerThanTheWidth) {
  const std::u16string exact(10, u'a');
  EXPECT_EQ(WrapHelpLines({exact}, 10), std::vector<std::u16string>{exact});
  EXPECT_EQ(WrapHelpLines({u"aaaa bbbbbb"}, 10), (std::vector<std::u16string>{u"aaaa", u"bbbbbb"}));
  // Colour sequences do not count; a tab counts as one.
  const std::u16string heading = u"Command: " + kBlueRun;  // 12 visible
  EXPECT_EQ(WrapHelpLines({heading}, 12), std::vector<std::u16string>{heading});
  // Wrapped, the coloured word keeps its whole colour sequence.
  EXPECT_EQ(WrapHelpLines({heading}, 11), (std::vector<std::u16string>{u"Command:", kBlueRun}));
  EXPECT_EQ(WrapHelpLines({u"-io:\t\t\t x"}, 9), std::vector<std::u16string>{u"-io:\t\t\t x"});
  EXPECT_EQ(WrapHelpLines({u""}, 80), std::vector<std::u16string>{u""});
}

// The words of `lines` joined by single spaces.
std::u16string wordsOf(const std::vector<std::u16string>& lines) {
  std::u16string out;
  for (const auto& line : lines) {
    for (const auto c : line + u" ") {
      if (c != u' ' || (!out.empty() && out.back() != u' ')) out.push_back(c);
    }
  }
  return out;
}

TEST(HelpTest, NarrowConsoleStillShowsEveryWordAndEnds) {
  const auto page = HelpPage(u"help run", 10);
  const auto lines = WrapHelpLines(page, 10);
  EXPECT_EQ(wordsOf(lines), wordsOf(page));  // nothing lost, split or reordered
  for (const auto& line : lines) {
    const auto visible = static_cast<int>(line.size()) - text::CountHiddenChars(line);
    if (line.find(u' ') != std::u16string::npos) {
      EXPECT_LE(visible, 10) << text::Utf16ToUtf8(line);
    }
  }
  // Every word longer than 8 characters stands on a line of its own.
  for (const auto* word : {u"scriptname.", u"sensitive!", u"parameter,", u"directory."}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), word), lines.end()) << text::Utf16ToUtf8(word);
  }
  // Narrower still, every word of a long line stands alone.
  for (const int width : {1, 0, -5}) {
    const auto narrowPage = HelpPage(u"help run", width);
    const auto narrow = WrapHelpLines(narrowPage, width);
    EXPECT_EQ(wordsOf(narrow), wordsOf(narrowPage));
    for (const auto& line : narrow) EXPECT_EQ(line.find(u' '), std::u16string::npos);
  }
}

TEST(HelpTest, WidestConsoleGivesPagesOfTwoSeparatorsAndTheirText) {
  // At the widest console allowed a page is its two separators plus its own text: nothing else
  // grows with the width.
  constexpr int kWidest = 1000;
  for (const auto* topic :
       {u"help", u"help run", u"help ls", u"help cd", u"help show", u"help find", u"help set",
        u"help exit", u"help uptime", u"help ping", u"help watch", u"help tree"}) {
    const auto lines = WrapHelpLines(HelpPage(topic, kWidest), kWidest);
    std::size_t total = 0;
    for (const auto& line : lines) total += line.size();
    EXPECT_EQ(lines.front(), separator(kWidest - 2)) << text::Utf16ToUtf8(topic);
    EXPECT_LT(total, 2 * static_cast<std::size_t>(kWidest) + 2000) << text::Utf16ToUtf8(topic);
  }
}

TEST(HelpTest, WritesAtTheCurrentConsoleWidth) {
  text::gConsoleChars = 40;
  const std::string out = helpOutput(u"help ping");
  text::gConsoleChars = 80;
  EXPECT_EQ(out, text::Utf16ToUtf8(separator(38) + u"\r\nCommand " +
                                   u"\x1b[34;1mPING\x1b[0m\r\nSyntax: PING IP/host\r\n"
                                   u"Synonyms: -\r\n" +
                                   separator(38) +
                                   u"\r\nclassic ping function for debugging\r\npurposes.\r\n"));
}

}  // namespace
}  // namespace velmar::shell
