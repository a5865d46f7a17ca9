#include <string>
#include <vector>

#include "shell_fixture.h"

namespace velmar::testing {
namespace {

const char* kScriptTree = R"({"objects":[
  {"id":12345,"parent":0,"name":"Startup","type":"script"},
  {"id":23456,"parent":0,"name":"Report","type":"script","script":{"output":"a\nb<BR>c"}},
  {"id":34567,"parent":0,"name":"Html page","type":"script",
   "script":{"output":"<p>\r\n  <b>Temp:</b> 21 &deg;C\r\n</p>\n<i>x &lt; y</i><br/>1 > 0<br />1 < 2"}},
  {"id":45678,"parent":0,"name":"Broken","type":"script","script":{"failsToStart":true}},
  {"id":56789,"parent":0,"name":"Counter","type":"variable","variable":{"type":"integer"}},
  {"id":13579,"parent":0,"name":"Kitchen","type":"script",
   "script":{"output":"K\u00fcche: <b>warm</b> &amp; \u20ac 5"}}
]})";

class RunCommandTest : public CommandSocketTest {};

TEST_F(RunCommandTest, StartsAScriptByIdOrByName) {
  Start(kScriptTree);
  EXPECT_EQ(Run("run 12345"), "Script started successfully\r\n");
  EXPECT_EQ(TakeRequests(),
            (std::vector<std::string>{"IPS_ScriptExists[12345]", "IPS_RunScript[12345]"}));

  EXPECT_EQ(Run("EXEC Startup"), "Script started successfully\r\n");
  EXPECT_EQ(TakeRequests(),
            (std::vector<std::string>{"IPS_GetScriptIDByName[\"Startup\",0]",
                                      "IPS_ScriptExists[12345]", "IPS_RunScript[12345]"}));

  EXPECT_EQ(Run("execute $3039"), "Script started successfully\r\n");  // 12345 in hex
  EXPECT_EQ(Run("run 45678"), "Script returned an error\r\n");
}

TEST_F(RunCommandTest, WaitOptionShowsTheOutputAsPlainLines) {
  Start(kScriptTree);
  // Without output: the separator and an empty line.
  for (const char* option : {"-w", "-W", "-wait", "-WAIT", "-wx", "foo-Wbar"}) {
    EXPECT_EQ(Run(std::string("run 12345 ") + option), "---\r\n\r\n") << option;
  }
  EXPECT_EQ(TakeRequests().back(), "IPS_RunScriptWait[12345]");

  // The script's own line ends are dropped; the upper-case break tag makes the line break.
  EXPECT_EQ(Run("run 23456 -w"), "---\r\nab\r\nc\r\n\r\n");
  EXPECT_EQ(TakeRequests(),
            (std::vector<std::string>{"IPS_ScriptExists[23456]", "IPS_RunScriptWait[23456]"}));

  // The closing paragraph tag ends the line, tags are removed, entities replaced (an escaped
  // "<" is text), a lone "<" taken as an unclosed tag; a quoted name with the option after
  // the closing quote.
  EXPECT_EQ(Run("run \"Html page\" -w"),
            "---\r\nTemp: 21 \xc2\xb0"
            "C\r\nx < y\r\n1 > 0\r\n1\r\n\r\n");
  EXPECT_EQ(TakeRequests(),
            (std::vector<std::string>{"IPS_GetScriptIDByName[\"Html page\",0]",
                                      "IPS_ScriptExists[34567]", "IPS_RunScriptWait[34567]"}));
}

TEST_F(RunCommandTest, OutputReadsAsTheScriptWroteIt) {
  // Raw UTF-8 from the server is repaired; \u escapes arrive right already. The euro sign
  // survives either way.
  const std::string expected =
      "---\r\nK\xc3\xbc"
      "che: warm & \xe2\x82\xac 5\r\n\r\n";
  Start(kScriptTree);
  EXPECT_EQ(Run("run Kitchen -w"), expected);
  server_->setEscapeUnicode(true);
  EXPECT_EQ(Run("run Kitchen -w"), expected);
}

TEST_F(RunCommandTest, AnythingButAnExistingScriptIsNotFound) {
  Start(kScriptTree);
  struct Case {
    std::string line;
    std::string output;
    std::vector<std::string> requests;
  };
  const Case cases[] = {
      {"run 56789", "Script not found: 56789\r\n", {"IPS_ScriptExists[56789]"}},
      {"run 99999 -w", "Script not found: 99999\r\n", {"IPS_ScriptExists[99999]"}},
      {"run Counter", "Script not found: Counter\r\n", {"IPS_GetScriptIDByName[\"Counter\",0]"}},
      {"run startup", "Script not found: startup\r\n", {"IPS_GetScriptIDByName[\"startup\",0]"}},
      {"run -w 12345", "Script not found: -w\r\n", {"IPS_GetScriptIDByName[\"-w\",0]"}},
      {"run", "Script not found: \r\n", {"IPS_GetScriptIDByName[\"\",0]"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.line), c.output) << c.line;
    EXPECT_EQ(TakeRequests(), c.requests) << c.line;
  }
}

TEST_F(RunCommandTest, ServerFailureWhileWaitingEndsTheConnectionSilently) {
  Start(kScriptTree);
  server_->setFault("IPS_RunScriptWait", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(RunUntilClosed("run 23456 -w"), "");
}

TEST_F(RunCommandTest, IdOutsideTheIntegerRangeEndsTheConnectionSilently) {
  Start(kScriptTree);
  EXPECT_EQ(RunUntilClosed("run 2147483648"), "");
  EXPECT_TRUE(TakeRequests().empty());
}

}  // namespace
}  // namespace velmar::testing
