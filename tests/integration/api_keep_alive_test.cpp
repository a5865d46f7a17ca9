// Kept-alive connections: what goes out on which connection, what is sent again when a kept
// connection turns out to be gone, and the closing of idle connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/json_rpc.h"
#include "api/server_calls.h"
#include "api/transfer_abort.h"
#include "api_fixture.h"
#include "api_raw_peer.h"
#include "core/error.h"

namespace velmar::api {
namespace {

using namespace std::chrono_literals;
using velmar::testing::ApiServerTest;
using velmar::testing::RawHttpPeer;

class KeepAliveTest : public ApiServerTest {
 protected:
  // How many requests of `method` the server has received.
  std::size_t Received(const std::string& method) const {
    const auto requests = server_->requests();
    return static_cast<std::size_t>(
        std::count_if(requests.begin(), requests.end(), [&](const auto& request) {
          return request.body.find("\"method\":\"" + method + "\"") != std::string::npos;
        }));
  }
};

TEST_F(KeepAliveTest, ReadsShareOneConnectionAndChangesGetANewOne) {
  const std::size_t before = server_->connectionsAccepted();
  EXPECT_TRUE(IPS_ObjectExists(12345));
  EXPECT_EQ(IPS_GetName(12345),
            "K\xc3\xbc"
            "che");
  EXPECT_EQ(server_->connectionsAccepted(), before + 1);
  // A change never goes out on a connection that the server may be closing at that moment.
  EXPECT_TRUE(SetValueInteger(24680, 7));
  EXPECT_EQ(server_->connectionsAccepted(), before + 2);
  // Its connection is kept for the reads after it.
  EXPECT_EQ(IPS_GetVariable(24680).Get(u"VariableValue").AsInteger(), 7);
  EXPECT_EQ(server_->connectionsAccepted(), before + 2);
}

TEST_F(KeepAliveTest, AServerThatClosesAfterEveryReplyStillGetsEveryRequestOnce) {
  // The server closes each connection after its reply without saying so: the client finds
  // out only when it wants the connection again.
  server_->setRepliesPerConnection(1);
  server_->clearRequests();
  for (int round = 0; round < 10; ++round) {
    EXPECT_TRUE(IPS_ObjectExists(12345));
    EXPECT_TRUE(SetValueInteger(24680, round));
    EXPECT_EQ(IPS_GetVariable(24680).Get(u"VariableValue").AsInteger(), round);
  }
  // Nothing was lost and nothing reached the server twice.
  EXPECT_EQ(server_->requests().size(), 30u);
  EXPECT_EQ(Received("SetValueInteger"), 10u);
}

TEST_F(KeepAliveTest, AReadCutOffWithoutAReplyIsSentOnceMoreOnANewConnection) {
  EXPECT_TRUE(IPS_ObjectExists(12345));  // the connection to be kept
  sim::Fault close{sim::FaultKind::CloseWithoutReply};
  close.once = true;
  server_->setFault("IPS_GetName", close);
  const std::size_t before = server_->connectionsAccepted();
  EXPECT_EQ(IPS_GetName(12345),
            "K\xc3\xbc"
            "che");
  EXPECT_EQ(Received("IPS_GetName"), 2u);
  EXPECT_EQ(server_->connectionsAccepted(), before + 1);
}

TEST_F(KeepAliveTest, AReadIsSentAgainOnlyOnce) {
  EXPECT_TRUE(IPS_ObjectExists(12345));
  server_->setFault("IPS_GetName", sim::Fault{sim::FaultKind::CloseWithoutReply});
  EXPECT_THROW(IPS_GetName(12345), Error);
  EXPECT_EQ(Received("IPS_GetName"), 2u);
}

TEST_F(KeepAliveTest, NothingIsSentAgainOnceSomeOfTheReplyCame) {
  EXPECT_TRUE(IPS_ObjectExists(12345));
  sim::Fault drop{sim::FaultKind::DropConnection};
  drop.once = true;
  server_->setFault("IPS_GetName", drop);
  EXPECT_THROW(IPS_GetName(12345), Error);
  EXPECT_EQ(Received("IPS_GetName"), 1u);
  EXPECT_EQ(IPS_GetName(12345),
            "K\xc3\xbc"
            "che");  // and the next request finds a new connection
}

TEST_F(KeepAliveTest, AChangeCutOffIsNeverSentTwice) {
  EXPECT_TRUE(IPS_ObjectExists(12345));
  for (auto kind : {sim::FaultKind::CloseWithoutReply, sim::FaultKind::DropConnection}) {
    server_->clearRequests();
    sim::Fault fault{kind};
    fault.once = true;
    server_->setFault("SetValueInteger", fault);
    EXPECT_THROW(SetValueInteger(24680, 5), Error);
    EXPECT_EQ(Received("SetValueInteger"), 1u);
  }
}

TEST(KeepAliveIdle, IdleConnectionsAreClosedWhileTheirOwnerWaits) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  SetIdleConnectionTimeout(100ms);
  RawHttpPeer peer;  // keeps every connection open until the client closes it
  InitializeRPC("127.0.0.1", peer.port(), false, "", "");

  EXPECT_TRUE(MakeRPCRequest("IPS_GetName", {}).AsBoolean());
  ASSERT_EQ(peer.Connections(), 1u);
  // This thread makes no further request; the connection is closed all the same.
  EXPECT_TRUE(peer.ClosedByClient(0, 5s));
  // The next request notices and opens a new one.
  EXPECT_TRUE(MakeRPCRequest("IPS_GetName", {}).AsBoolean());
  EXPECT_EQ(peer.Connections(), 2u);

  SetIdleConnectionTimeout(30s);
  FinalizeRPCForThread();
  InitializeRPCForThread();
}

TEST_F(KeepAliveTest, AServerThatClosesAtOnceIsNoticed) {
  EXPECT_TRUE(IPS_ObjectExists(12345));
  EXPECT_FALSE(ServerClosedKeptConnection(50));
  server_->setRepliesPerConnection(1);  // from the next connection on
  FinalizeRPCForThread();
  InitializeRPCForThread();
  EXPECT_TRUE(IPS_ObjectExists(12345));
  EXPECT_TRUE(ServerClosedKeptConnection(2000));
}

TEST_F(KeepAliveTest, RequestsTogetherFailLikeOneAfterTheOther) {
  SetConnectionUse({.reuse = true, .parallel = 4});
  for (std::size_t failing : {0u, 5u, 11u}) {
    std::vector<int> done(12, 0);
    try {
      RunRequestsTogether(12, [&](std::size_t i) {
        if (i == failing || i == failing + 1) throw Error("task " + std::to_string(i));
        EXPECT_TRUE(IPS_ObjectExists(12345));
        done[i] = 1;
      });
      ADD_FAILURE() << "no failure";
    } catch (const Error& error) {
      // The first failure in order, whatever finished first.
      EXPECT_EQ(std::string(error.what()), "task " + std::to_string(failing));
    }
    // Everything before the failure ran.
    for (std::size_t i = 0; i < failing; ++i) EXPECT_EQ(done[i], 1) << i;
  }
}

TEST_F(KeepAliveTest, RequestsTogetherUseAtMostTheirConnections) {
  SetConnectionUse({.reuse = true, .parallel = 3});
  const std::size_t before = server_->connectionsAccepted();
  std::atomic<int> ok{0};
  for (int round = 0; round < 3; ++round)
    RunRequestsTogether(20, [&](std::size_t) { ok += IPS_ObjectExists(12345) ? 1 : 0; });
  EXPECT_EQ(ok, 60);
  EXPECT_LE(server_->connectionsAccepted(), before + 3);
}

}  // namespace
}  // namespace velmar::api
