#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "shell_fixture.h"
#include "text/console_layout.h"

namespace velmar::testing {
namespace {

const std::string kHeading = "-Showing Object: 12345 - Living room\r\n\r\n";

// The eight lines of the living room, by name.
const std::string kCounter = "30000  \x1b[34;1mInteger\x1b[0m     Counter            42\r\n";
const std::string kDimmer = "34567 <\x1b[37;1mInstance\x1b[0m>   Dimmer             Bus 1\r\n";
const std::string kGoTo = "33445 <Link>       Go to lights        -> 23456\r\n";
const std::string kLights = "23456 <Category>   Lights             \r\n";
const std::string kMessage = "30001  \x1b[34;1mString\x1b[0m      Message            \"hello\"\r\n";
const std::string kPicture = "22334  Media       Picture            \r\n";
const std::string kStartup =
    "56789  \x1b[31mScript\x1b[0m      Startup            56789.ips.php\r\n";
const std::string kTimer = "11223  Event       Timer              \r\n";

class ListTest : public ShellSocketTest {
 protected:
  void EnterLivingRoom() {
    ASSERT_EQ(Run("cd 12345").output, "");
    TakeRequests();
  }
};

TEST_F(ListTest, ExampleListingByteForByte) {
  Start();
  EnterLivingRoom();
  EXPECT_EQ(Run("ls").output, kHeading + kCounter + kDimmer + kGoTo + kLights + kMessage +
                                  kPicture + kStartup + kTimer);
  // One request for the children, one per child, one more per instance, variable (and the
  // object record the variable asks for itself), script and link, and the name last.
  EXPECT_EQ(TakeRequests(), (std::vector<std::string>{
                                "IPS_GetChildrenIDs[12345]",
                                "IPS_GetObject[23456]",
                                "IPS_GetObject[34567]",
                                "IPS_GetInstance[34567]",
                                "IPS_GetObject[30000]",
                                "IPS_GetVariable[30000]",
                                "IPS_GetObject[30000]",
                                "IPS_GetObject[30001]",
                                "IPS_GetVariable[30001]",
                                "IPS_GetObject[30001]",
                                "IPS_GetObject[56789]",
                                "IPS_GetScript[56789]",
                                "IPS_GetObject[11223]",
                                "IPS_GetObject[22334]",
                                "IPS_GetObject[33445]",
                                "IPS_GetLink[33445]",
                                "IPS_GetName[12345]",
                            }));
}

TEST_F(ListTest, OptionsSelectKinds) {
  Start();
  EnterLivingRoom();
  struct Case {
    const char* line;
    std::string lines;
  };
  const Case cases[] = {
      {"ls -v", kCounter + kMessage},
      {"list -v -s", kCounter + kMessage + kStartup},
      {"dir -vs", kCounter + kMessage},
      {"ls -x", kCounter + kDimmer + kGoTo + kLights + kMessage + kPicture + kStartup + kTimer},
      {"ls -v Lights", kCounter + kMessage},  // an option first: no category argument
      {"ls -Media", kPicture},
      {"ls -device", kDimmer},
      {"ls -io", ""},
      {"ls -core", kLights},
      {"ls -splitter", kStartup},
      {"ls -configurator", kLights},
      {"ls -e -l", kGoTo + kTimer},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.line).output, kHeading + c.lines) << c.line;
  }
}

TEST_F(ListTest, OnlyInstancesOfTheSelectedModuleType) {
  Start(R"({"objects":[
    {"id":10001,"parent":0,"name":"Core","type":"instance","instance":{"moduleType":0}},
    {"id":10002,"parent":0,"name":"Port","type":"instance","instance":{"moduleType":1}},
    {"id":10003,"parent":0,"name":"Gateway","type":"instance","instance":{"moduleType":2}},
    {"id":10004,"parent":0,"name":"Lamp","type":"instance","instance":{"moduleType":3}},
    {"id":10005,"parent":0,"name":"Finder","type":"instance","instance":{"moduleType":4}},
    {"id":10006,"parent":0,"name":"Discovery","type":"instance","instance":{"moduleType":5}}
  ]})");
  auto line = [](const char* id, const char* name) {
    std::string padded = name;
    padded.resize(18, ' ');
    return std::string(id) + "  \x1b[37;1mInstance\x1b[0m    " + padded + " \r\n";
  };
  const std::string heading = "-Showing Object: 0 - IP-Symcon\r\n\r\n";
  EXPECT_EQ(Run("ls").output, heading + line("10004", "Lamp"));
  EXPECT_EQ(Run("ls -core -io -splitter -configurator").output,
            heading + line("10001", "Core") + line("10005", "Finder") + line("10003", "Gateway") +
                line("10002", "Port"));
  // Every instance child costs its instance record, also when it is not shown; the one of
  // module type 5 is never listed.
  TakeRequests();
  Run("ls -io");
  const auto requests = TakeRequests();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const std::string& r) { return r.rfind("IPS_GetInstance", 0) == 0; }),
            6);
}

TEST_F(ListTest, OrderByPositionThenFirstNameWordThenServerOrder) {
  Start(R"({"objects":[
    {"id":10001,"parent":0,"name":"Lights","position":2},
    {"id":10002,"parent":0,"name":"alpha","position":1},
    {"id":10003,"parent":0,"name":"Zeta","position":1},
    {"id":10004,"parent":0,"name":"Light 2","position":1},
    {"id":10005,"parent":0,"name":"Light 1","position":1},
    {"id":10006,"parent":0,"name":"Cellar","position":-5},
    {"id":10007,"parent":0,"name":"","position":1}
  ]})");
  auto line = [](const char* id, const char* name) {
    std::string padded = name;
    padded.resize(18, ' ');
    return std::string(id) + "  Category    " + padded + " \r\n";
  };
  EXPECT_EQ(Run("ls").output, "-Showing Object: 0 - IP-Symcon\r\n\r\n" + line("10006", "Cellar") +
                                  line("10007", "") + line("10004", "Light 2") +
                                  line("10005", "Light 1") + line("10003", "Zeta") +
                                  line("10002", "alpha") + line("10001", "Lights"));
}

TEST_F(ListTest, NameFieldAndLettersThatOnceMarkedSortKeys) {
  Start(R"({"objects":[
    {"id":10001,"parent":0,"name":"Twenty characters!!!"},
    {"id":10002,"parent":0,"name":"   Indented name that is long"},
    {"id":10003,"parent":0,"name":"A\u00c6B\u00ccC","type":"variable",
     "variable":{"type":"string","value":"x\u00c6y\u00ccz"}},
    {"id":10004,"parent":0,"name":"Broken","type":"script","script":{"broken":true}},
    {"id":10005,"parent":0,"name":"\u00c6ble K\u00e6lder"},
    {"id":10006,"parent":0,"name":"\u00ccnfo \u00c6nd","position":-1}
  ]})");
  // Every letter of names and values is shown; "Æ" (C3 86) and "Ì" (C3 8C) sort by their
  // code like any other letter, after the ASCII ones.
  EXPECT_EQ(Run("ls").output,
            "-Showing Object: 0 - IP-Symcon\r\n\r\n"
            "10006  Category    \xC3\x8Cnfo \xC3\x86nd" +
                std::string(11, ' ') +
                "\r\n"
                "10003  \x1b[34;1mString\x1b[0m      A\xC3\x86"
                "B\xC3\x8C"
                "C" +
                std::string(14, ' ') +
                "\"x\xC3\x86y\xC3\x8Cz\"\r\n"
                "10004  \x1b[31mScript\x1b[0m      Broken" +
                std::string(13, ' ') +
                "\x1b[31m!!\x1b[0m10004.ips.php\r\n"
                "10002  Category    Indented name t" +
                std::string(4, ' ') +
                "\r\n"
                "10001  Category    Twenty characters! \r\n"
                "10005  Category    \xC3\x86"
                "ble K\xC3\xA6lder" +
                std::string(8, ' ') + "\r\n");
}

// ls, list and dir take a category in every form that cd takes, list it with the options
// that follow, and leave the current category where it was.
TEST_F(ListTest, ArgumentListsThatCategory) {
  Start();
  EnterLivingRoom();
  const std::string lights =
      "-Showing Object: 23456 - Lights\r\n\r\n"
      "23457  \x1b[34;1mBoolean\x1b[0m     Ceiling            false\r\n";
  const std::string groundFloor =
      "-Showing Object: 10100 - Ground floor\r\n\r\n"
      "12345 <Category>   Living room        \r\n";
  const std::string root = "-Showing Object: 0 - IP-Symcon\r\n\r\n";
  struct Case {
    const char* line;
    std::string output;
  };
  const Case cases[] = {
      {"ls 23456", lights},
      {"ls $5BA0", lights},
      {"ls Lights", lights},
      {"dir \"Go to lights\"", lights},  // a link lists its target
      {"ls Lights -c", "-Showing Object: 23456 - Lights\r\n\r\n"},
      {"list 34567 -v",
       "-Showing Object: 34567 - Dimmer\r\n\r\n"
       "34568  \x1b[34;1mInteger\x1b[0m     Intensity          0\r\n"},
      {"ls ..", groundFloor},
      {"ls 10100 -c", groundFloor},
      {"ls \\ -v", root},
      {"ls 30000", "-Showing Object: 30000 - Counter\r\n\r\n"},  // no children
      {"ls Nowhere", "Object not found: Nowhere\r\n"},
      {"ls 11111 -v", "Object not found: 11111\r\n"},
      {"ls \"Ground floor\"", "Object not found: Ground floor\r\n"},  // not a child here
      {"ls",
       kHeading + kCounter + kDimmer + kGoTo + kLights + kMessage + kPicture + kStartup + kTimer},
  };
  for (const auto& c : cases) {
    const CommandResult result = Run(c.line);
    EXPECT_EQ(result.output, c.output) << c.line;
    EXPECT_EQ(result.prompt, "IP-Symcon\\Ground floor\\Living room") << c.line;
  }
}

TEST_F(ListTest, NothingOfTheSelectedKindsGivesHeadingOnly) {
  Start();
  Run("cd 10500");
  EXPECT_EQ(Run("ls -v").output, "-Showing Object: 10500 - 2024\r\n\r\n");
}

TEST_F(ListTest, LinesAreCutToTheConsoleWidth) {
  Start();
  EnterLivingRoom();
  const auto width = text::gConsoleChars.load();
  text::gConsoleChars = 20;
  const std::string output = Run("ls -v").output;
  text::gConsoleChars = width;
  EXPECT_EQ(output,
            "-Showing Object: 123\r\n\r\n"
            "30000  \x1b[34;1mInteger\x1b[0m     C\r\n"
            "30001  \x1b[34;1mString\x1b[0m      M\r\n");
}

// The heading's name is repaired like the records' names, whether the server sends the
// umlaut as raw UTF-8 or as an escape.
TEST_F(ListTest, HeadingNameWithUmlautReadsLikeTheRecords) {
  Start();
  Run("cd 10300");
  const std::string expected =
      "-Showing Object: 10300 - K\xC3\xBC"
      "che\r\n\r\n"
      "10302  \x1b[34;1mFloat\x1b[0m       Living temp        19\r\n"
      "10301  \x1b[34;1mFloat\x1b[0m       Temperatur         20.5\r\n";
  EXPECT_EQ(Run("ls").output, expected);
  server_->setEscapeUnicode(true);
  EXPECT_EQ(Run("ls").output, expected);
}

TEST_F(ListTest, ServerFaultMidwayEndsTheSessionWithNothingWritten) {
  Start();
  EnterLivingRoom();
  server_->setFault("IPS_GetScript", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(RunUntilClosed("ls"), "");
}

TEST_F(ListTest, DroppedConnectionMidwayEndsTheSessionWithNothingWritten) {
  Start();
  EnterLivingRoom();
  server_->setFault("IPS_GetName", sim::Fault{sim::FaultKind::DropConnection});
  EXPECT_EQ(RunUntilClosed("ls"), "");
}

}  // namespace
}  // namespace velmar::testing
