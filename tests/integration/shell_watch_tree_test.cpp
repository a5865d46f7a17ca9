// watch as plain lines and JSON Lines over a Telnet client that reports no window (the table a
// terminal shows is checked through real clients in tests/clients/watch_screen_test.py), and
// tree, against the simulated server; values change through its API meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "api/server_calls.h"
#include "shell/tree.h"
#include "shell/watch.h"
#include "shell_fixture.h"

namespace velmar::testing {
namespace {

using namespace std::chrono_literals;

const std::string kIP = "\xff\xf4";  // Telnet IAC IP: Ctrl+C
const std::string kPrompt = "\x1b[36;1mIP-Symcon>\x1b[0m";

// A tree of one category ("Many", 10000) with `count` variables (10001, 10002, ...).
std::string ManyVariables(int count) {
  std::string tree = R"({"objects":[{"id":10000,"parent":0,"name":"Many"})";
  for (int i = 1; i <= count; ++i) {
    tree += R"(,{"id":)" + std::to_string(10000 + i) +
            R"(,"parent":10000,"name":"v","type":"variable","variable":{"type":"integer"}})";
  }
  return tree + "]}";
}

class WatchTreeTest : public ShellFixture {
 protected:
  WatchTreeTest()
      : ShellFixture({{{u"WATCH"}, shell::Watch}, {{u"TREE"}, shell::Tree}}, kHomeTree) {}

  static void SetUpTestSuite() {
    ::setenv("TZ", "VLM-2", 1);
    ::tzset();
    ShellFixture::SetUpTestSuite();
  }

  void SetUp() override {
    platform::OverrideRegionalSettings(platform::RegionalSettings{"%d.%m.%Y", "%H:%M:%S", ",", ""});
  }

  void TearDown() override {
    ShellFixture::TearDown();
    platform::OverrideRegionalSettings(std::nullopt);
    api::SetRequestLimits({});
  }

  // Reads one line (without its CR LF) and checks it against `pattern`.
  std::string Line(const std::string& pattern) {
    std::string line = client_->readUntil("\r\n");
    line.resize(line.size() - 2);
    EXPECT_TRUE(std::regex_match(line, std::regex(pattern))) << line << "\n  against " << pattern;
    return line;
  }

  // Waits until the server has answered `count` more IPS_GetVariable requests; gives what
  // the client received meanwhile.
  std::string AwaitRounds(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::size_t seen = 0;
    std::string received;
    while (seen < count && std::chrono::steady_clock::now() < deadline) {
      for (const std::string& call : TakeRequests()) seen += call.starts_with("IPS_GetVariable");
      received += client_->readFor(20ms);  // waits for the next round, reading what it wrote
    }
    EXPECT_GE(seen, count);
    return received;
  }
};

const std::string kTime = R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)";

TEST_F(WatchTreeTest, PlainLinesFirstTheValuesThenEachChange) {
  Start();
  client_->send(
      "watch K\xc3\xbc"
      "che -i 0.2 -n 2\r\n");
  // Listing order; never changed: no time.
  Line(R"(-  10302  Living temp  19)");
  Line(R"(-  10301  Temperatur  20\.5)");
  ASSERT_TRUE(api::SetValueFloat(10301, 21.25));
  Line(kTime + R"(  10301  Temperatur  20\.5 -> 21\.25)");
  ASSERT_TRUE(api::SetValueFloat(10302, 18));
  Line(kTime + R"(  10302  Living temp  19 -> 18)");
  // Two changes: the prompt follows at once.
  EXPECT_EQ(client_->readUntil(kPrompt), "\r\n" + kPrompt);
}

TEST_F(WatchTreeTest, JsonLinesForScripts) {
  Start();
  client_->send("watch 10400 -json -i 0.2 -n 1\r\n");  // a link to the counter
  const nlohmann::json first = nlohmann::json::parse(client_->readUntil("\r\n"));
  EXPECT_EQ(first["event"], "value");
  EXPECT_EQ(first["id"], 30000);
  EXPECT_EQ(first["name"], "Counter");
  EXPECT_EQ(first["value"], 42);
  EXPECT_EQ(first["changed"], "2016-09-05T16:03:12+02:00");
  ASSERT_TRUE(api::SetValueInteger(30000, -7));
  const nlohmann::json change = nlohmann::json::parse(client_->readUntil("\r\n"));
  EXPECT_EQ(change["event"], "change");
  EXPECT_EQ(change["value"], -7);
  EXPECT_EQ(change["text"], "-7");
  EXPECT_EQ(change["previous"], 42);
  EXPECT_EQ(change["previousText"], "42");
  EXPECT_TRUE(std::regex_match(change["changed"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+02:00)")));
  EXPECT_EQ(client_->readUntil(kPrompt), "\r\n" + kPrompt);
}

TEST_F(WatchTreeTest, CtrlCEndsIt) {
  Start();
  client_->send("watch 30000 -i 0.2\r\n");
  Line(R"(.*  30000  Counter  42)");
  AwaitRounds(2);
  client_->send(kIP);
  // The interrupt is the client's first Telnet command: the server's offers may come first.
  const std::string rest = client_->readUntil(kPrompt);
  EXPECT_TRUE(rest.ends_with("\r\n" + kPrompt) && rest.find("Counter") == std::string::npos)
      << rest;
  // The shell goes on.
  EXPECT_EQ(RunCommand("watch 99999").output, "Object not found: 99999\r\n");
}

TEST_F(WatchTreeTest, WhatCannotBeWatched) {
  Start();
  const struct {
    const char* line;
    const char* message;
  } cases[] = {
      {"watch 99999", "Object not found: 99999"},
      {"watch Nothing", "Object not found: Nothing"},
      {"watch 56789", "Can not watch 56789. Object is no variable, category or instance."},
      {"watch 10200", "No variables to watch in 10200."},
      {"watch 1 -i 0", "Not an interval from 0.2 to 3600 seconds: \"0\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunCommand(c.line).output, std::string(c.message) + "\r\n") << c.line;
  }
}

TEST_F(WatchTreeTest, AtMost200Variables) {
  Start(ManyVariables(201));
  EXPECT_EQ(RunCommand("watch Many").output, "Too many variables to watch: 201 (at most 200).\r\n");
  EXPECT_TRUE(TakeRequests().size() < 210u);  // the variables themselves were not asked for
}

// A failed round says so once and the next rounds try again; failures in a row for the
// request time-out end it with the message.
TEST_F(WatchTreeTest, FailedRoundsAreRetriedUntilTheRequestTimeOut) {
  Start();
  client_->send("watch 10301 -i 0.2\r\n");
  Line(R"(-  10301  Temperatur  20\.5)");
  server_->setFault("IPS_GetVariable", {sim::FaultKind::ErrorReply, 500, "Database locked"});
  TakeRequests();
  std::string output = AwaitRounds(3);
  server_->clearFaults();
  ASSERT_TRUE(api::SetValueFloat(10301, 22));
  output += client_->readUntil("20.5 -> 22\r\n");
  EXPECT_TRUE(std::regex_match(
      output, std::regex("Database locked\r\n" + kTime + "  10301  Temperatur  20\\.5 -> 22\r\n")))
      << output;

  api::SetRequestLimits({1, api::CurrentRequestLimits().maxReplyBytes});
  server_->setFault("IPS_GetVariable", {sim::FaultKind::ErrorReply, 500, "Database locked"});
  const auto started = std::chrono::steady_clock::now();
  output = client_->readUntil(kPrompt, 10s);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_EQ(output, "Database locked\r\nDatabase locked\r\n\r\n" + kPrompt);
}

TEST_F(WatchTreeTest, EndsWhenTheClientGoes) {
  Start();
  client_->send("watch 10301 -i 0.2\r\n");
  Line(R"(.*Temperatur  20\.5)");
  client_.reset();
  EXPECT_TRUE(listener_->waitUntilNoConnections(10s));
}

// The living room as tree(1) draws a directory: listing order, type colours, links with their
// target, and only as deep as asked.
TEST_F(WatchTreeTest, TreeDrawsTheSubtree) {
  Start();
  const std::string blue = "\x1b[34;1m", white = "\x1b[37;1m", red = "\x1b[31m", reset = "\x1b[0m";
  EXPECT_EQ(RunCommand("tree 12345").output,
            "12345 Living room\r\n"
            "\u251c\u2500\u2500 30000 " +
                blue + "Counter" + reset +
                "\r\n"
                "\u251c\u2500\u2500 34567 " +
                white + "Dimmer" + reset +
                "\r\n"
                "\u2502   \u2514\u2500\u2500 34568 " +
                blue + "Intensity" + reset +
                "\r\n"
                "\u251c\u2500\u2500 33445 Go to lights -> 23456\r\n"
                "\u251c\u2500\u2500 23456 Lights\r\n"
                "\u2502   \u2514\u2500\u2500 23457 " +
                blue + "Ceiling" + reset +
                "\r\n"
                "\u251c\u2500\u2500 30001 " +
                blue + "Message" + reset +
                "\r\n"
                "\u251c\u2500\u2500 22334 Picture\r\n"
                "\u251c\u2500\u2500 56789 " +
                red + "Startup" + reset +
                "\r\n"
                "\u2514\u2500\u2500 11223 Timer\r\n");
  EXPECT_EQ(RunCommand("tree -depth 1").output,
            "0 IP-Symcon\r\n"
            "\u251c\u2500\u2500 10200 Empty\r\n"
            "\u251c\u2500\u2500 10400 To counter -> 30000\r\n"
            "\u251c\u2500\u2500 10100 Ground floor\r\n"
            "\u251c\u2500\u2500 10300 K\xc3\xbc"
            "che\r\n"
            "\u2514\u2500\u2500 10500 2024\r\n");
  // The link "To counter" stands for its target.
  EXPECT_EQ(RunCommand("tree 10400").output, "30000 " + blue + "Counter" + reset + "\r\n");
  EXPECT_EQ(RunCommand("tree 99999").output, "Object not found: 99999\r\n");
  // One request per object, and one more per link: each level in flight together.
  TakeRequests();
  RunCommand("tree 10100 -depth 2");
  EXPECT_EQ(TakeRequests().size(), 1u + 1 + 1 + 8 + 1) << "exists, 10100, 12345, children, link";
}

TEST_F(WatchTreeTest, TreeJsonNestsTheChildren) {
  Start();
  const std::string output = RunCommand("tree 10100 -depth 2 -json").output;
  const nlohmann::json root = nlohmann::json::parse(output);
  EXPECT_EQ(root["id"], 10100);
  ASSERT_EQ(root["children"].size(), 1u);
  const nlohmann::json& room = root["children"][0];
  EXPECT_EQ(room["name"], "Living room");
  ASSERT_EQ(room["children"].size(), 8u);
  EXPECT_EQ(room["children"][2]["target"], 23456);
  // At the depth: no children asked for, though it has some.
  EXPECT_EQ(room["children"][1]["hasChildren"], true);
  EXPECT_FALSE(room["children"][1].contains("children"));
  EXPECT_EQ(room["children"][1]["type"], "instance");
}

TEST_F(WatchTreeTest, TreeDrawsAtMost5000Lines) {
  Start(ManyVariables(5010));
  const std::string output = RunCommand("tree Many", 60s).output;
  std::size_t lines = 0;
  for (std::size_t at = output.find("\r\n"); at != std::string::npos;
       at = output.find("\r\n", at + 2))
    ++lines;
  EXPECT_EQ(lines, shell::kMaxTreeLines + 1);
  EXPECT_TRUE(
      output.ends_with("\u251c\u2500\u2500 14999 \x1b[34;1mv\x1b[0m\r\n"
                       "\u2026 11 more objects not shown\r\n"))
      << output.substr(output.size() - 200);
}

}  // namespace
}  // namespace velmar::testing
