#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell_fixture.h"
#include "text/console_layout.h"

namespace velmar::testing {
namespace {

using Requests = std::vector<std::string>;

const std::string kEnhance =
    "This command needs to be enhanced. Still a lot of work to do...\r\n"
    "\r\n";

// The ten general lines of an object with only ID, name, summary and children set.
std::string GeneralLines(const std::string& id, const std::string& name, bool children,
                         const std::string& summary = "") {
  return kEnhance + "  Object ID: \t\t" + id + "\r\n" + "  Object Name: \t\t" + name + "\r\n" +
         "  Object Info: \t\t\r\n" + "  Object Summary: \t\t" + summary + "\r\n" +
         "  Object has Children: \t" + (children ? "True" : "False") + "\r\n" +
         "  Object is Hidden: \tFalse\r\n" + "  Object Ident: \t\t\r\n" + "  Object Icon: \t\t\r\n";
}

class ShowTest : public ShellSocketTest {};

TEST_F(ShowTest, IntegerVariableExample) {
  Start();
  // 1473084192 is 2016-09-05 14:03:12 UTC; the tests run two hours east of UTC.
  EXPECT_EQ(Run("show 30000").output, GeneralLines("30000", "Counter", false) +
                                          "  Object Typ: \t\t\x1b[34;1mVariable\x1b[0m\r\n"
                                          "    Variable Typ: \t\tInteger\r\n"
                                          "    Value: \t\t\t42\r\n"
                                          "    Last Updated: \t\t05.09.2016 16:03:12\r\n"
                                          "    Last Changed: \t\t05.09.2016 16:03:12\r\n");
  EXPECT_EQ(TakeRequests(), (Requests{"IPS_ObjectExists[30000]", "IPS_GetObject[30000]",
                                      "IPS_GetVariable[30000]", "IPS_GetObject[30000]"}));
}

TEST_F(ShowTest, StringVariableByNameIsQuoted) {
  Start();
  Run("cd 12345");
  TakeRequests();
  EXPECT_EQ(Run("show Message").output, GeneralLines("30001", "Message", false) +
                                            "  Object Typ: \t\t\x1b[34;1mVariable\x1b[0m\r\n"
                                            "    Variable Typ: \t\tString\r\n"
                                            "    Value: \t\t\t\"hello\"\r\n"
                                            "    Last Updated: \t\t01.01.1970 02:00:00\r\n"
                                            "    Last Changed: \t\t01.01.1970 02:00:00\r\n");
  EXPECT_EQ(TakeRequests(),
            (Requests{"IPS_GetObjectIDByName[\"Message\",12345]", "IPS_ObjectExists[30001]",
                      "IPS_GetObject[30001]", "IPS_GetVariable[30001]", "IPS_GetObject[30001]"}));
  Run("set Message");
  EXPECT_NE(Run("show Message").output.find("    Value: \t\t\t\"\"\r\n"), std::string::npos);
}

TEST_F(ShowTest, TypeLinesOfTheOtherKinds) {
  Start();
  struct Case {
    const char* line;
    std::string output;
    Requests requests;
  };
  const Case cases[] = {
      {"show 0",
       GeneralLines("0", "IP-Symcon", true) + "  Object Typ: \t\tCategory\r\n",
       {"IPS_ObjectExists[0]", "IPS_GetObject[0]"}},
      {"show 34567",
       GeneralLines("34567", "Dimmer", true, "Bus 1") +
           "  Object Typ: \t\t\x1b[37;1mInstance\x1b[0m\r\n",
       {"IPS_ObjectExists[34567]", "IPS_GetObject[34567]"}},
      {"show 56789",
       GeneralLines("56789", "Startup", false) + "  Object Typ: \t\t\x1b[31mScript\x1b[0m\r\n"
                                                 "    File: \t\t\t56789.ips.php\r\n"
                                                 "    Last Execute: \t\t01.01.1970 02:00:00\r\n",
       {"IPS_ObjectExists[56789]", "IPS_GetObject[56789]", "IPS_GetScript[56789]"}},
      {"show 11223", GeneralLines("11223", "Timer", false) + "  Object Typ: \tEvent\r\n", {}},
      {"show 22334", GeneralLines("22334", "Picture", false) + "  Object Typ: \tMedia\r\n", {}},
      {"show 33445",
       GeneralLines("33445", "Go to lights", false) + "  Object Typ: \tLink\r\n",
       {"IPS_ObjectExists[33445]", "IPS_GetObject[33445]"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.line).output, c.output) << c.line;
    const Requests requests = TakeRequests();
    if (!c.requests.empty()) {
      EXPECT_EQ(requests, c.requests) << c.line;
    }
  }
}

TEST_F(ShowTest, AllGeneralAttributesAndMidnight) {
  Start(R"({"objects":[
    {"id":10001,"parent":0,"name":"Heizung","info":"Keller","ident":"heat","icon":"Flame",
     "hidden":true,"type":"variable",
     "variable":{"type":"float","value":21.5,"updated":1473033600,"changed":1473026400}}
  ]})");
  // 1473026400 is 2016-09-04 22:00 UTC, midnight two hours east: the date alone.
  EXPECT_EQ(Run("show Heizung").output, kEnhance +
                                            "  Object ID: \t\t10001\r\n"
                                            "  Object Name: \t\tHeizung\r\n"
                                            "  Object Info: \t\tKeller\r\n"
                                            "  Object Summary: \t\t\r\n"
                                            "  Object has Children: \tFalse\r\n"
                                            "  Object is Hidden: \tTrue\r\n"
                                            "  Object Ident: \t\theat\r\n"
                                            "  Object Icon: \t\tFlame\r\n"
                                            "  Object Typ: \t\t\x1b[34;1mVariable\x1b[0m\r\n"
                                            "    Variable Typ: \t\tFloat\r\n"
                                            "    Value: \t\t\t21.5\r\n"
                                            "    Last Updated: \t\t05.09.2016 02:00:00\r\n"
                                            "    Last Changed: \t\t05.09.2016\r\n");
}

TEST_F(ShowTest, NotFoundWritesOneLineOnly) {
  Start();
  Run("cd 12345");
  struct Case {
    const char* line;
    const char* output;
  };
  const Case cases[] = {
      {"show 11111", "Object not found: 11111\r\n"},
      {"show Empty", "Object not found: Empty\r\n"},  // not a child of the living room
      {"show \"Go to\"", "Object not found: Go to\r\n"},
      {"show", "Object not found: \r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.line).output, c.output) << c.line;
  }
  EXPECT_EQ(Run("show \"Go to lights\"").output,
            GeneralLines("33445", "Go to lights", false) + "  Object Typ: \tLink\r\n");
}

TEST_F(ShowTest, LongValueIsCutAndItsLineFeedCannotStartAFakeLine) {
  Start(R"({"objects":[
    {"id":10001,"parent":0,"name":"Note","type":"variable",
     "variable":{"type":"string","value":"first\nsecond line that is long"}}
  ]})");
  const auto width = text::gConsoleChars.load();
  text::gConsoleChars = 30;
  const std::string output = Run("show 10001").output;
  text::gConsoleChars = width;
  // "    Value: \t\t\t" is 14 visible characters, leaving 16 for the value; its LF is shown
  // as U+FFFD, one character wide, so the value stays on its own line.
  EXPECT_NE(output.find("\r\n    Value: \t\t\t\"first\xEF\xBF\xBDsecond li\r\n    Last"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.substr(0, 32), "This command needs to be enhan\r\n");
}

TEST_F(ShowTest, ServerFaultEndsTheSessionWithNothingWritten) {
  Start();
  server_->setFault("IPS_GetVariable", sim::Fault{sim::FaultKind::ErrorReply});
  EXPECT_EQ(RunUntilClosed("show 30000"), "");
}

TEST_F(ShowTest, HttpErrorEndsTheSessionWithNothingWritten) {
  Start();
  server_->setFault("IPS_GetScript", sim::Fault{sim::FaultKind::HttpStatus, 500});
  EXPECT_EQ(RunUntilClosed("show 56789"), "");
}

}  // namespace
}  // namespace velmar::testing
