// `ls` with several requests in flight, and the commands against servers that close or cut
// off connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "api/json_rpc.h"
#include "shell_fixture.h"

namespace velmar::testing {

inline bool operator==(const CommandResult& a, const CommandResult& b) {
  return a.output == b.output && a.prompt == b.prompt;
}

inline void PrintTo(const CommandResult& result, std::ostream* out) {
  *out << ::testing::PrintToString(result.output) << " at " << result.prompt;
}

namespace {

// A category (ID 15000) with 30 children of every kind, at a few positions and with names
// that share first words, so that sorting has work to do; variable 30123 has a child.
std::string BusyTree() {
  std::string tree = R"({"objects":[{"id":15000,"parent":0,"name":"Busy"})";
  for (int i = 0; i < 30; ++i) {
    const int id = 30100 + i;
    const std::string common = R"("id":)" + std::to_string(id) +
                               R"(,"parent":15000,"name":"Item )" + std::to_string(i % 7) +
                               R"(","position":)" + std::to_string(i % 3 - 1);
    switch (i % 5) {
      case 0:
        tree += ",{" + common +
                R"(,"type":"variable","variable":{"type":"integer","changed":1473084192,)" +
                R"("updated":1473084192,"value":)" + std::to_string(i) + "}}";
        break;
      case 1:
        tree += ",{" + common + R"(,"type":"script","script":{"file":"s.ips.php"}})";
        break;
      case 2:
        tree += ",{" + common + R"(,"type":"link","link":{"target":15000}})";
        break;
      case 3:
        tree += ",{" + common + R"(,"type":"instance","summary":"S",)" +
                R"("instance":{"moduleType":3,"moduleName":"D"}})";
        break;
      default:
        tree += ",{" + common + "}";
    }
  }
  tree += R"(,{"id":30200,"parent":30123,"name":"Deep"}]})";
  return tree;
}

class ParallelListTest : public ShellSocketTest {
 protected:
  void TearDown() override {
    ShellSocketTest::TearDown();
    api::SetConnectionUse({});
  }

  // Ends the server and the shell, for another Start().
  void Restart() {
    TearDown();
    SetUp();
  }

  void Use(bool reuse, int parallel) {
    api::SetConnectionUse({.reuse = reuse, .parallel = parallel});
  }
};

TEST_F(ParallelListTest, SameListingAndRequestsOnAtMostNConnections) {
  Start(BusyTree());
  Use(false, 1);
  ASSERT_EQ(Run("cd 15000").output, "");
  TakeRequests();
  const CommandResult oneByOne = Run("ls");
  std::vector<std::string> oneByOneRequests = TakeRequests();
  ASSERT_NE(oneByOne.output.find("30129"), std::string::npos);

  for (int parallel : {1, 4}) {
    Use(true, parallel);
    const std::size_t before = server_->connectionsAccepted();
    Run("ls");
    TakeRequests();
    EXPECT_EQ(Run("ls"), oneByOne) << parallel;
    // Two listings on at most N connections, all of them kept: how many the first listing
    // opens depends on how quickly the replies come, so the bound covers both.
    EXPECT_LE(server_->connectionsAccepted() - before, static_cast<std::size_t>(parallel))
        << parallel;
    std::vector<std::string> requests = TakeRequests();
    if (parallel == 1) {
      EXPECT_EQ(requests, oneByOneRequests);
    }
    std::sort(requests.begin(), requests.end());
    std::vector<std::string> sorted = oneByOneRequests;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(requests, sorted) << parallel;
  }
}

TEST_F(ParallelListTest, AFailingChildEndsTheSessionWithNothingWritten) {
  struct Case {
    const char* method;
    int id;
  };
  // The first, a middle and the last child, in the server's order; the object record and a
  // request that depends on it.
  const Case cases[] = {{"IPS_GetObject", 30100}, {"IPS_GetObject", 30115},
                        {"IPS_GetObject", 30129}, {"IPS_GetVariable", 30100},
                        {"IPS_GetScript", 30116}, {"IPS_GetLink", 30127}};
  for (int parallel : {1, 4}) {
    for (const Case& c : cases) {
      Start(BusyTree());
      Use(true, parallel);
      ASSERT_EQ(Run("cd 15000").output, "");
      sim::Fault fault{sim::FaultKind::ErrorReply};
      fault.firstParam = c.id;
      server_->setFault(c.method, fault);
      EXPECT_EQ(RunUntilClosed("ls"), "") << c.method << " " << c.id << " N=" << parallel;
      Restart();
    }
  }
}

TEST_F(ParallelListTest, AServerThatClosesEveryConnectionGetsEveryCommandRight) {
  const std::vector<std::string> lines = {"cd 15000", "ls", "show 30100", "set 30100 77", "ls",
                                          "cd ..",    "ls", "show 30123", "cd 30123",     "ls -c"};
  std::vector<CommandResult> expected;
  Start(BusyTree());
  Use(false, 1);
  for (const auto& line : lines) expected.push_back(Run(line));
  Restart();

  Start(BusyTree());
  Use(true, 4);
  server_->setRepliesPerConnection(1);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(Run(lines[i]), expected[i]) << lines[i];
  EXPECT_EQ(server_->variableValueJson(30100), "77");
}

TEST_F(ParallelListTest, ACutOffReadIsSentAgainAndACutOffChangeIsNot) {
  Start(BusyTree());
  Use(true, 4);
  const CommandResult shown = Run("show 30100");
  // The server takes the next read and closes the kept connection without a reply.
  sim::Fault close{sim::FaultKind::CloseWithoutReply};
  close.once = true;
  server_->setFault("IPS_GetObject", close);
  EXPECT_EQ(Run("show 30100"), shown);

  // The same for the change of `set`: it fails as any refused change does, and the value was
  // asked to change once.
  server_->setFault("SetValueInteger", close);
  TakeRequests();
  EXPECT_EQ(Run("set 30100 5").output, "Operation failed.\r\n");
  const auto requests = TakeRequests();
  EXPECT_EQ(std::count(requests.begin(), requests.end(), "SetValueInteger[30100,5]"), 1);
}

}  // namespace
}  // namespace velmar::testing
