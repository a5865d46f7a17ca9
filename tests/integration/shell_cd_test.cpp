#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell_fixture.h"

namespace velmar::testing {
namespace {

const std::string kLivingRoomPath = "IP-Symcon\\Ground floor\\Living room";

using Requests = std::vector<std::string>;

class CdTest : public ShellSocketTest {};

TEST_F(CdTest, IdEntersFromAnywhereAndPromptShowsThePath) {
  Start();
  EXPECT_EQ(Run("cd 12345").prompt, kLivingRoomPath);
  // The target's existence and record, then one record per level up to the root.
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_ObjectExists[12345]", "IPS_GetObject[12345]",
                                      "IPS_GetObject[10100]", "IPS_GetObject[0]"}));
  EXPECT_EQ(Run("cd 10300").prompt,
            "IP-Symcon\\K\xC3\xBC"
            "che");
  for (const char* line : {"cd $3039", "cd x3039", "cd 0x3039", "cd +12345"}) {
    Run("cd 0");
    const CommandResult result = Run(line);
    EXPECT_EQ(result.output, "") << line;
    EXPECT_EQ(result.prompt, kLivingRoomPath) << line;
  }
}

TEST_F(CdTest, RootByBackslashOrZeroWithoutExistenceTest) {
  Start();
  for (const char* line : {"cd\\", "CD\\", "cd \\", "cd 0"}) {
    Run("cd 12345");
    TakeRequests();
    const CommandResult result = Run(line);
    EXPECT_EQ(result.output, "") << line;
    EXPECT_EQ(result.prompt, "IP-Symcon") << line;
    EXPECT_EQ(TakeRequests(), (Requests{"IPS_GetObject[0]"})) << line;
  }
  // And the root lists the root's children afterwards.
  EXPECT_EQ(Run("ls -c").output.rfind("-Showing Object: 0 - IP-Symcon\r\n", 0), 0u);
}

TEST_F(CdTest, UpOneLevel) {
  Start();
  for (const char* line : {"cd..", "CD..", "cd ..", "Cd .."}) {
    Run("cd 12345");
    TakeRequests();
    EXPECT_EQ(Run(line).prompt, "IP-Symcon\\Ground floor") << line;
    EXPECT_EQ(TakeRequests(),
              (Requests{"IPS_GetObject[12345]", "IPS_GetObject[10100]", "IPS_GetObject[0]"}))
        << line;
  }
}

TEST_F(CdTest, UpAtTheRootStaysAndTakesTheServersRootName) {
  Start(R"({"objects":[{"id":0,"parent":0,"name":"Zuhause"},{"id":10001,"parent":0}]})");
  const CommandResult result = Run("cd ..");
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.prompt, "Zuhause");
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_GetObject[0]"}));
  EXPECT_EQ(Run("ls -v").output, "-Showing Object: 0 - Zuhause\r\n\r\n");
}

TEST_F(CdTest, NamesAreLookedUpAmongTheChildrenOfTheCurrentCategory) {
  Start();
  EXPECT_EQ(Run("cd \"  Ground floor \"").prompt, "IP-Symcon\\Ground floor");
  EXPECT_EQ(TakeRequests(),
            (Requests{"IPS_GetObjectIDByName[\"Ground floor\",0]", "IPS_ObjectExists[10100]",
                      "IPS_GetObject[10100]", "IPS_GetObject[0]"}));
  EXPECT_EQ(Run("cd \"Living room\"").prompt, kLivingRoomPath);
  EXPECT_EQ(Run("cd Lights").prompt, kLivingRoomPath + "\\Lights");

  // A category elsewhere in the tree is not found by its name.
  const CommandResult elsewhere = Run("cd Empty");
  EXPECT_EQ(elsewhere.output, "Object not found: Empty\r\n");
  EXPECT_EQ(elsewhere.prompt, kLivingRoomPath + "\\Lights");
  // An unquoted name ends at the first blank.
  Run("cd 0");
  EXPECT_EQ(Run("cd Ground floor").output, "Object not found: Ground\r\n");
  // A name typed with an umlaut reaches the server as that character.
  EXPECT_EQ(Run("cd K\xC3\xBC"
                "che")
                .prompt,
            "IP-Symcon\\K\xC3\xBC"
            "che");
}

TEST_F(CdTest, RefusedChangesWriteOneLineAndKeepThePrompt) {
  Start();
  Run("cd 12345");
  struct Case {
    const char* line;
    const char* output;
  };
  const Case cases[] = {
      {"cd 30000", "Can not switch to 30000. Object has no children.\r\n"},  // a variable
      {"cd 10200", "Can not switch to 10200. Object has no children.\r\n"},  // empty category
      {"cd Counter", "Can not switch to Counter. Object has no children.\r\n"},
      {"cd 11111", "Object not found: 11111\r\n"},
      {"cd 2024", "Object not found: 2024\r\n"},  // digits are an ID, never a name
      {"cd Nowhere", "Object not found: Nowhere\r\n"},
      {"cd", "Object not found: \r\n"},
      {"cd \"unclosed", "Object not found: \r\n"},
  };
  for (const auto& c : cases) {
    const CommandResult result = Run(c.line);
    EXPECT_EQ(result.output, c.output) << c.line;
    EXPECT_EQ(result.prompt, kLivingRoomPath) << c.line;
  }
  EXPECT_EQ(Run("ls -s").output,
            "-Showing Object: 12345 - Living room\r\n\r\n"
            "56789  \x1b[31mScript\x1b[0m      Startup            56789.ips.php\r\n");
  TakeRequests();
  Run("cd 11111");
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_ObjectExists[11111]"}));
  Run("cd");
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_GetObjectIDByName[\"\",12345]"}));
}

TEST_F(CdTest, LinksAreFollowedWhateverTheTarget) {
  Start();
  // A link to a variable, which has no children: entered all the same.
  EXPECT_EQ(Run("cd \"To counter\"").prompt, kLivingRoomPath + "\\Counter");
  EXPECT_EQ(TakeRequests(),
            (Requests{"IPS_GetObjectIDByName[\"To counter\",0]", "IPS_ObjectExists[10400]",
                      "IPS_GetObject[10400]", "IPS_GetLink[10400]", "IPS_GetObject[30000]",
                      "IPS_GetObject[12345]", "IPS_GetObject[10100]", "IPS_GetObject[0]"}));
  EXPECT_EQ(Run("ls").output, "-Showing Object: 30000 - Counter\r\n\r\n");
  // A link to a category.
  Run("cd 12345");
  EXPECT_EQ(Run("cd 33445").prompt, kLivingRoomPath + "\\Lights");
  EXPECT_EQ(Run("ls").output,
            "-Showing Object: 23456 - Lights\r\n\r\n"
            "23457  \x1b[34;1mBoolean\x1b[0m     Ceiling            false\r\n");
}

// Each connection has its own current category and prompt.
TEST_F(CdTest, EveryConnectionKeepsItsOwnCurrentCategory) {
  Start();
  TelnetClient other(listener_->boundPort());
  other.readUntil(std::string(kPromptStart) + "IP-Symcon" + kPromptEnd);
  EXPECT_EQ(Run("cd 12345").prompt, kLivingRoomPath);
  other.send("ls -v\r\n");
  EXPECT_EQ(other.readUntil(kPromptEnd), "-Showing Object: 0 - IP-Symcon\r\n\r\n\r\n" +
                                             std::string(kPromptStart) + "IP-Symcon" + kPromptEnd);
  other.send("cd 10300\r\n");
  other.readUntil(kPromptEnd);
  EXPECT_EQ(Run("cd ..").prompt, "IP-Symcon\\Ground floor");
}

TEST_F(CdTest, ServerFaultEndsTheSessionWithoutAMessage) {
  Start();
  server_->setFault("IPS_GetObject", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(RunUntilClosed("cd 12345"), "");
}

TEST_F(CdTest, NumberBeyondThirtyTwoBitsEndsTheSession) {
  Start();
  EXPECT_EQ(RunUntilClosed("cd 99999999999"), "");
  EXPECT_EQ(TakeRequests(), Requests{});
}

}  // namespace
}  // namespace velmar::testing
