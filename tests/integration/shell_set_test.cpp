#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell_fixture.h"

namespace velmar::testing {
namespace {

using Requests = std::vector<std::string>;

class SetTest : public ShellSocketTest {};

constexpr const char* kFailed = "Operation failed.\r\n";

// Each case sets one variable and checks what the server then holds, as JSON text (so its
// JSON type too). The regional decimal separator of the tests is the comma.
TEST_F(SetTest, ConversionPerVariableType) {
  Start();
  struct Case {
    const char* line;
    int id;
    const char* output;
    const char* stored;
  };
  const Case cases[] = {
      // Boolean (Ceiling, false at start).
      {"set 23457 true", 23457, "", "true"},
      {"set 23457 false", 23457, "", "false"},
      {"set 23457 TRUE", 23457, "", "true"},
      {"set 23457 0", 23457, "", "false"},
      {"set 23457 2,5", 23457, "", "true"},
      {"set 23457 0,0", 23457, "", "false"},
      {"set 23457 1", 23457, "", "true"},
      {"set 23457 yes", 23457, kFailed, "true"},
      {"set 23457 on", 23457, kFailed, "true"},
      {"set 23457 2.5", 23457, kFailed, "true"},
      // Integer (Counter, 42 at start).
      {"set 30000 -7", 30000, "", "-7"},
      {"set 30000 $1F", 30000, "", "31"},
      {"set 30000 42", 30000, "", "42"},
      {"set 30000 4.5", 30000, kFailed, "42"},
      {"set 30000 2147483648", 30000, kFailed, "42"},
      {"set 30000", 30000, kFailed, "42"},
      // Float (Temperatur, 20.5 at start).
      {"set 10301 21,25", 10301, "", "21.25"},
      {"set 10301 -0,5E1", 10301, "", "-5.0"},
      {"set 10301 21.5", 10301, kFailed, "-5.0"},
      {"set 10301 warm", 10301, kFailed, "-5.0"},
      // String (Message, "hello" at start).
      {"set 30001 hello world", 30001, "", "\"hello world\""},
      {"set 30001   spaced  out  ", 30001, "", "\"spaced  out\""},
      {"set 30001 \"quoted\"", 30001, "", "\"\\\"quoted\\\"\""},
      {"set 30001 21 \xC2\xB0"
       "C",
       30001, "",
       "\"21 \xC2\xB0"
       "C\""},
      {"set 30001", 30001, "", "\"\""},
  };
  for (const auto& c : cases) {
    const CommandResult result = Run(c.line);
    EXPECT_EQ(result.output, c.output) << c.line;
    EXPECT_EQ(result.prompt, "IP-Symcon") << c.line;
    EXPECT_EQ(server_->variableValueJson(c.id), c.stored) << c.line;
  }
}

TEST_F(SetTest, RequestsForAnIdAndForAName) {
  Start();
  Run("set 30000 43");
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_VariableExists[30000]", "IPS_GetVariable[30000]",
                                      "IPS_GetObject[30000]", "SetValueInteger[30000,43]"}));
  Run("cd 12345");
  TakeRequests();
  EXPECT_EQ(Run("setvalue Message hi").output, "");
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_GetVariableIDByName[\"Message\",12345]",
                                      "IPS_VariableExists[30001]", "IPS_GetVariable[30001]",
                                      "IPS_GetObject[30001]", "SetValueString[30001,\"hi\"]"}));
  // A value that does not convert never reaches the server.
  Run("set Counter many");
  EXPECT_EQ(TakeRequests(),
            (Requests{"IPS_GetVariableIDByName[\"Counter\",12345]", "IPS_VariableExists[30000]",
                      "IPS_GetVariable[30000]", "IPS_GetObject[30000]"}));
}

TEST_F(SetTest, QuotedNamesAndShortNames) {
  Start(R"({"objects":[
    {"id":10001,"parent":0,"name":"Living temp","type":"variable","variable":{"type":"float"}},
    {"id":10002,"parent":0,"name":"e","type":"variable","variable":{"type":"integer"}},
    {"id":10003,"parent":0,"name":"t","type":"variable","variable":{"type":"string"}}
  ]})");
  EXPECT_EQ(Run("set \"Living temp\" 21,5").output, "");
  EXPECT_EQ(server_->variableValueJson(10001), "21.5");
  EXPECT_EQ(Run("set e 5").output, "");
  EXPECT_EQ(server_->variableValueJson(10002), "5");
  EXPECT_EQ(Run("setvalue t on").output, "");
  EXPECT_EQ(server_->variableValueJson(10003), "\"on\"");
  // Unquoted, the name ends at the first blank.
  EXPECT_EQ(Run("set Living temp 21").output, "Variable not found: Living\r\n");
}

TEST_F(SetTest, ObjectsThatAreNoVariables) {
  Start();
  Run("cd 12345");
  struct Case {
    const char* line;
    const char* output;
  };
  const Case cases[] = {
      {"set 56789 1", "Variable not found: 56789\r\n"},  // a script
      {"set 11111 1", "Variable not found: 11111\r\n"},  // no such object
      {"set Startup 1", "Variable not found: Startup\r\n"},
      {"set Temperatur 1", "Variable not found: Temperatur\r\n"},  // not in this category
      {"set", "Variable not found: \r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.line).output, c.output) << c.line;
  }
}

TEST_F(SetTest, AnOverLongLineIsRefusedAndNothingStored) {
  Start();
  const std::string value(20000, 'x');
  EXPECT_EQ(Run("set 30001 " + value).output, "Line too long: more than 16384 characters.\r\n");
  EXPECT_EQ(server_->variableValueJson(30001), "\"hello\"");
  EXPECT_EQ(TakeRequests(), Requests{});
  // The session goes on; a line of the full length still works.
  const std::string longest(16384 - 10, 'y');
  EXPECT_EQ(Run("set 30001 " + longest).output, "");
  EXPECT_EQ(server_->variableValueJson(30001), "\"" + longest + "\"");
}

TEST_F(SetTest, ServerRefusingTheValueIsReported) {
  Start();
  server_->setFault("SetValueInteger", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(Run("set 30000 7").output, kFailed);
  EXPECT_EQ(server_->variableValueJson(30000), "42");
}

TEST_F(SetTest, ServerFaultBeforeTheSetterEndsTheSession) {
  Start();
  server_->setFault("IPS_GetVariable", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(RunUntilClosed("set 30000 7"), "");
  EXPECT_EQ(server_->variableValueJson(30000), "42");
}

}  // namespace
}  // namespace velmar::testing
