// The -json documents of ls, show, find and uptime, read back by another JSON library
// (nlohmann::json, as the simulator uses) and checked field by field.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "shell_fixture.h"

namespace velmar::testing {
namespace {

using nlohmann::json;

// The living room of the listing tests, plus texts that must reach a script whole: a name
// with non-ASCII letters and a value with an escape sequence and a line break.
const std::string kTree = std::string(kHomeTree).substr(0, std::string(kHomeTree).rfind(']')) +
                          R"(,
  {"id":10600,"parent":0,"name":"Br\u00fccke \u00e4\u00f6","type":"variable",
   "variable":{"type":"string","value":"\u001b[31mred\nline"}},
  {"id":10601,"parent":0,"name":"Fenster","type":"variable",
   "variable":{"type":"boolean","value":true,"changed":1796994192,"updated":1796994200}}
]})";

class JsonCommandTest : public ShellFixture {
 protected:
  JsonCommandTest()
      : ShellFixture({{{u"LS", u"LIST", u"DIR"}, shell::List},
                      {{u"SHOW"}, shell::Show},
                      {{u"FIND"}, shell::Find},
                      {{u"UPTIME"}, shell::Uptime}},
                     kTree) {}

  static void SetUpTestSuite() {
    // Two hours east of UTC, without daylight-saving time: the offset shows in every time.
    ::setenv("TZ", "VLM-2", 1);
    ::tzset();
    ShellFixture::SetUpTestSuite();
  }

  // The output of `line`: exactly one line of JSON (no colour, no progress), parsed.
  json Document(const std::string& line) {
    const std::string output = RunCommand(line).output;
    EXPECT_TRUE(output.ends_with("\r\n")) << output;
    const std::string text = output.substr(0, output.size() - 2);
    EXPECT_EQ(text.find_first_of("\r\n\x1b\b"), std::string::npos) << output;
    return json::parse(text);
  }
};

TEST_F(JsonCommandTest, ListGivesTheCategoryAndItsChildrenInListingOrder) {
  Start();
  const json list = Document("ls 12345 -json");
  EXPECT_EQ(list["id"], 12345);
  EXPECT_EQ(list["name"], "Living room");
  std::vector<std::string> names;
  for (const json& child : list["children"]) names.push_back(child["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"Counter", "Dimmer", "Go to lights", "Lights",
                                             "Message", "Picture", "Startup", "Timer"}));

  const json& counter = list["children"][0];
  EXPECT_EQ(counter["id"], 30000);
  EXPECT_EQ(counter["type"], "variable");
  EXPECT_EQ(counter["objectType"], 2);
  EXPECT_EQ(counter["variableType"], "integer");
  EXPECT_TRUE(counter["value"].is_number_integer());
  EXPECT_EQ(counter["value"], 42);
  EXPECT_EQ(counter["text"], "42");
  EXPECT_EQ(counter["changed"], "2016-09-05T16:03:12+02:00");
  EXPECT_EQ(counter["position"], 0);
  EXPECT_EQ(counter["hasChildren"], false);

  const json& dimmer = list["children"][1];
  EXPECT_EQ(dimmer["type"], "instance");
  EXPECT_EQ(dimmer["module"], "Dimmer");
  EXPECT_EQ(dimmer["moduleType"], "device");
  EXPECT_EQ(dimmer["summary"], "Bus 1");
  EXPECT_EQ(dimmer["hasChildren"], true);
  EXPECT_EQ(list["children"][2]["target"], 23456);
  EXPECT_EQ(list["children"][3]["type"], "category");
  EXPECT_EQ(list["children"][4]["value"], "hello");
  EXPECT_EQ(list["children"][4]["variableType"], "string");
  const json& startup = list["children"][6];
  EXPECT_EQ(startup["file"], "56789.ips.php");
  EXPECT_EQ(startup["broken"], false);
  EXPECT_TRUE(startup["executed"].is_null());  // never run

  // The options select as in the listing; -json may stand anywhere after the command word.
  const json variables = Document("ls -json 12345 -v");
  ASSERT_EQ(variables["children"].size(), 2u);
  EXPECT_EQ(variables["children"][1]["name"], "Message");
  EXPECT_EQ(Document("ls -JSON")["id"], 0);
}

TEST_F(JsonCommandTest, ShowGivesTheWholeRecordAndTextsAsTheServerHasThem) {
  Start();
  const json text = Document("show 10600 -json");
  EXPECT_EQ(text["name"],
            "Br\xc3\xbc"
            "cke \xc3\xa4\xc3\xb6");
  EXPECT_EQ(text["value"], "\x1b[31mred\nline");  // escaped on the wire, whole when read
  EXPECT_EQ(text["parent"], 0);
  EXPECT_EQ(text["hidden"], false);
  EXPECT_TRUE(text["changed"].is_null());

  const json window = Document("show Fenster -json");
  EXPECT_EQ(window["value"], true);
  EXPECT_EQ(window["text"], "true");
  EXPECT_EQ(window["variableType"], "boolean");
  EXPECT_EQ(window["changed"], "2026-12-11T15:03:12+02:00");
  EXPECT_EQ(window["updated"], "2026-12-11T15:03:20+02:00");

  EXPECT_EQ(Document("show 33445 -json")["target"], 23456);
  EXPECT_EQ(Document("show 34567 -json")["moduleType"], "device");
  // A failure is the same message as without -json.
  EXPECT_EQ(RunCommand("show 99999 -json").output, "Object not found: 99999\r\n");
}

TEST_F(JsonCommandTest, FindGivesTheMatchesWithoutProgress) {
  Start();
  const json found = Document("find light -i -json");
  EXPECT_EQ(found["pattern"], "light");
  EXPECT_EQ(found["ignoreCase"], true);
  EXPECT_EQ(found["wholeWord"], false);
  EXPECT_EQ(found["searched"], 22);  // every object, the root included
  EXPECT_TRUE(found["seconds"].is_number());
  EXPECT_EQ(found["matches"], json::parse(R"([{"id":23456,"name":"Lights"},
                                              {"id":33445,"name":"Go to lights"}])"));
  EXPECT_EQ(Document("find Nowhere -json")["matches"], json::array());
}

class FixedClock final : public platform::Clock {
 public:
  std::uint64_t TickCount64() const override { return (3 * 86400 + 60) * 1000ULL; }
  std::int64_t UnixMilliseconds() const override { return 1800000000000; }
};

TEST_F(JsonCommandTest, UptimeGivesTheThreeUptimesWithTheirStart) {
  const std::int64_t savedStart = shell::UptimeStart();
  platform::OverrideClock(std::make_shared<FixedClock>());
  shell::SetUptimeStart(1800000000000 - 3600 * 1000);
  sim::SimulatorOptions options;
  options.treeJson = kTree;
  options.kernelStart = 1800000000 - 86400;
  Start(std::move(options));
  const json uptime = Document("uptime -json");
  platform::OverrideClock(nullptr);
  shell::SetUptimeStart(savedStart);

  EXPECT_EQ(uptime["server"], json::parse(R"({"since":"2027-01-14T10:00:00+02:00",
      "seconds":86400,"text":"1 days, 0 minutes"})"));
  EXPECT_EQ(uptime["velmar"]["seconds"], 3600);
  EXPECT_EQ(uptime["velmar"]["text"], "1 hours, 0 minutes");
  EXPECT_EQ(uptime["host"]["seconds"], 3 * 86400 + 60);
  EXPECT_EQ(uptime["host"]["since"], "2027-01-12T09:59:00+02:00");
}

}  // namespace
}  // namespace velmar::testing
