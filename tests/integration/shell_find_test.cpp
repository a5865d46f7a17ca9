#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/regional.h"
#include "shell_fixture.h"

namespace velmar::testing {
namespace {

std::string Blanks(std::size_t n) {
  return std::string(n, ' ');
}

class FindCommandTest : public CommandSocketTest {
 protected:
  void TearDown() override {
    platform::OverrideRegionalSettings(std::nullopt);
    CommandSocketTest::TearDown();
  }

  // `output` with the elapsed time of its summary replaced by "T"; the seconds are checked
  // loosely against the least time the pauses take.
  static std::string WithoutElapsed(const std::string& output, double leastSeconds,
                                    char separator = '.') {
    const std::string before = " searched in ";
    const std::string after = " seconds";
    const std::size_t start = output.find(before);
    const std::size_t end = output.find(after, start);
    if (start == std::string::npos || end == std::string::npos) {
      ADD_FAILURE() << "no elapsed time in " << output;
      return output;
    }
    std::string seconds = output.substr(start + before.size(), end - start - before.size());
    // At least one digit, the separator and exactly one digit.
    const std::size_t sep = seconds.size() >= 3 ? seconds.size() - 2 : std::string::npos;
    EXPECT_TRUE(sep != std::string::npos && seconds[sep] == separator &&
                seconds.find_first_not_of("0123456789") == sep &&
                std::isdigit(static_cast<unsigned char>(seconds.back())))
        << seconds;
    if (sep != std::string::npos) seconds[sep] = '.';
    EXPECT_GE(std::atof(seconds.c_str()), leastSeconds);
    EXPECT_LT(std::atof(seconds.c_str()), leastSeconds + 30);
    return output.substr(0, start) + before + "T" + output.substr(end);
  }

  // The IDs whose progress line is followed by an extra line end, in output order.
  static std::vector<int> MatchedIds(const std::string& output) {
    std::vector<int> ids;
    const std::string lineStart = "\b\b\r";
    for (std::size_t pos = output.find(lineStart); pos != std::string::npos;) {
      const std::size_t begin = pos + lineStart.size();
      const std::size_t next = output.find(lineStart, begin);
      const std::string line =
          output.substr(begin, next == std::string::npos ? std::string::npos : next - begin);
      if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) &&
          line.ends_with("\r\n\r\n")) {
        ids.push_back(std::atoi(line.c_str()));
      }
      pos = next;
    }
    return ids;
  }
};

TEST_F(FindCommandTest, CtrlCStopsTheSearchBeforeItsNextObject) {
  std::string tree = R"({"objects":[)";
  for (int id = 10000; id < 10400; ++id) {
    tree += (id > 10000 ? "," : "") + std::string(R"({"id":)") + std::to_string(id) +
            R"(,"parent":0,"name":"Lamp"})";
  }
  Start(tree + "]}");
  client_->send("find Lamp\r\n");
  client_->readUntil("10002\tLamp");
  client_->send("\xff\xf4\xff\xfd\x06");  // IAC IP, IAC DO TIMING-MARK, as inetutils sends
  const std::string output = client_->readUntil(std::string("\r\n") + kPromptStart);
  client_->readUntil(kPromptEnd);
  // The offer of BINARY and the timing mark come back; the summary says how far it got.
  EXPECT_NE(output.find(std::string("\xff\xfb\x00\xff\xfd\x00\xff\xfb\x06", 9)), std::string::npos);
  const std::size_t searched = output.find(" objects searched in ");
  ASSERT_NE(searched, std::string::npos) << output;
  const std::size_t count = std::stoul(output.substr(output.rfind('\n', searched) + 1));
  EXPECT_GE(count, 3u);
  EXPECT_LT(count, 401u);
  // The root is searched first and is no lamp.
  EXPECT_NE(output.find(std::to_string(count - 1) + " objects matched pattern \"Lamp\"\r\n"),
            std::string::npos)
      << output;
  // No prompt of its own for the interrupt: the next command runs as usual.
  EXPECT_EQ(Run("find"), "Search pattern not specified.\r\n");
}

TEST_F(FindCommandTest, WritesProgressLinesMatchesAndSummary) {
  Start(R"({"objects":[{"id":12345,"parent":0,"name":"Ceiling light"},
                       {"id":23456,"parent":0,"name":"Fan"}]})");
  const std::string output = Run("find light");
  // The root is one of the objects the server lists.
  EXPECT_EQ(WithoutElapsed(output, 0.2),
            "\r\n"
            "\b\b\r0    \tIP-Symcon" +
                Blanks(63) + "\r\n" + "\b\b\r12345\tCeiling light" + Blanks(59) + "\r\n\r\n" +
                "\b\b\r23456\tFan" + Blanks(69) + "\r\n" + "\b\b\r" + Blanks(80) + "\r\n" +
                "3 objects searched in T seconds.\r\n"
                "1 objects matched pattern \"light\"\r\n");
  EXPECT_EQ(TakeRequests(), (std::vector<std::string>{"IPS_GetObjectList[]", "IPS_GetName[0]",
                                                      "IPS_GetName[12345]", "IPS_GetName[23456]"}));
}

TEST_F(FindCommandTest, OptionsSelectCaseAndWholeWords) {
  Start(R"({"objects":[{"id":11111,"parent":0,"name":"Lights"},
                       {"id":22222,"parent":0,"name":"Light 1"},
                       {"id":33333,"parent":0,"name":"Ceiling Light"},
                       {"id":44444,"parent":0,"name":"ceiling light"}]})");
  struct Case {
    std::string line;
    std::vector<int> matches;
    std::string pattern;
  };
  const Case cases[] = {
      {"find Light", {11111, 22222, 33333}, "Light"},
      {"find light -i", {11111, 22222, 33333, 44444}, "light"},
      {"find Light -w", {22222, 33333}, "Light"},
      {"find light -w -i", {22222, 33333, 44444}, "light"},
      {"find light -IgnoreCase   -WORD", {22222, 33333, 44444}, "light"},
      {"find \"g L\" -i", {}, "g L"},  // the pattern's blank is no word boundary
  };
  for (const Case& c : cases) {
    const std::string output = Run(c.line);
    EXPECT_EQ(MatchedIds(output), c.matches) << c.line;
    const std::string summary = c.matches.empty()
                                    ? "Nothing found on pattern \"" + c.pattern + "\"\r\n"
                                    : std::to_string(c.matches.size()) +
                                          " objects matched pattern \"" + c.pattern + "\"\r\n";
    EXPECT_TRUE(
        WithoutElapsed(output, 0.2).ends_with("5 objects searched in T seconds.\r\n" + summary))
        << c.line << ": " << output;
  }
}

TEST_F(FindCommandTest, NoMatchSummaryStartsWithFourBackspaces) {
  Start(R"({"objects":[{"id":12345,"parent":0,"name":"Fan"}]})");
  platform::OverrideRegionalSettings(platform::RegionalSettings{"%d.%m.%Y", "%H:%M:%S", ",", ""});
  // An option written before the pattern is the pattern.
  const std::string output = Run("FIND -i fan");
  EXPECT_EQ(WithoutElapsed(output, 0.1, ','),
            "\r\n"
            "\b\b\r0    \tIP-Symcon" +
                Blanks(63) + "\r\n" + "\b\b\r12345\tFan" + Blanks(69) + "\r\n" + "\b\b\b\b\r" +
                Blanks(80) + "\r\n" +
                "2 objects searched in T seconds.\r\n"
                "Nothing found on pattern \"-i\"\r\n");
}

TEST_F(FindCommandTest, EmptyPatternSearchesNothing) {
  Start(R"({"objects":[]})");
  for (const char* line : {"find", "find ", "find \"\" -i", "find \"   \"", "find \"open"}) {
    EXPECT_EQ(Run(line), "Search pattern not specified.\r\n") << line;
  }
  EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(FindCommandTest, NamesAreMatchedAndShownAsTheServerHasThem) {
  // Raw UTF-8 from the server, and the same names as \u escapes. The fill counts characters,
  // not bytes.
  Start(R"({"objects":[{"id":12345,"parent":0,"name":"K\u00fcche"},
                       {"id":23456,"parent":0,"name":"\u00c4rger"}]})");
  for (bool escaped : {false, true}) {
    server_->setEscapeUnicode(escaped);
    const std::string output = Run("find k\xc3\xbc -i");
    EXPECT_NE(output.find("\r12345\tK\xc3\xbc"
                          "che" +
                          Blanks(80 - 11 - 2) + "\r\n\r\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("\r23456\t\xc3\x84rger" + Blanks(80 - 11 - 2) + "\r\n\b"),
              std::string::npos)
        << output;
    EXPECT_TRUE(output.ends_with("1 objects matched pattern \"k\xc3\xbc\"\r\n")) << output;
  }
  // Every letter is folded, the umlauts too.
  EXPECT_NE(
      Run("find \xc3\xa4RGER -i").find("\r23456\t\xc3\x84rger" + Blanks(80 - 11 - 2) + "\r\n\r\n"),
      std::string::npos);
  EXPECT_TRUE(Run("find K\xc3\x9c -i").ends_with("1 objects matched pattern \"K\xc3\x9c\"\r\n"));
  EXPECT_TRUE(Run("find K\xc3\x9c").ends_with("Nothing found on pattern \"K\xc3\x9c\"\r\n"));
}

TEST_F(FindCommandTest, ServerFailureKeepsTheProgressWrittenAndEndsTheConnection) {
  Start(R"({"objects":[{"id":12345,"parent":0,"name":"Fan"}]})");
  server_->setFault("IPS_GetName", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(RunUntilClosed("find fan"), "\r\n");
}

}  // namespace
}  // namespace velmar::testing
