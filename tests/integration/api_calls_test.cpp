#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "api/server_calls.h"
#include "api_fixture.h"
#include "api_raw_peer.h"
#include "core/error.h"
#include "json/json.h"

namespace velmar::api {
namespace {

using velmar::testing::ApiServerTest;
using velmar::testing::RawHttpPeer;

using CallsTest = ApiServerTest;

std::string MethodOf(const std::string& body) {
  auto start = body.find("\"method\":\"") + 10;
  return body.substr(start, body.find('"', start) - start);
}

TEST_F(CallsTest, EveryCallSendsItsOwnMethodAndReadsItsResult) {
  EXPECT_TRUE(IPS_ObjectExists(12345));
  EXPECT_FALSE(IPS_ObjectExists(11111));
  EXPECT_EQ(IPS_GetObject(12345).Get(u"ObjectID").AsInteger(), 12345);
  EXPECT_EQ(IPS_GetObjectList().AsString(), u"[0,12345,23456,34567,45678,56789,13579,24680]");
  EXPECT_EQ(IPS_GetObjectIDByName("K\xfc"
                                  "che",
                                  0),
            12345);
  EXPECT_EQ(IPS_GetChildrenIDs(0).AsString(), u"[12345,34567,45678,56789,13579,24680]");
  EXPECT_EQ(IPS_GetName(23456), "Text");
  EXPECT_EQ(IPS_GetInstance(34567).Get(u"InstanceStatus").AsInteger(), 102);
  EXPECT_TRUE(IPS_ScriptExists(45678));
  EXPECT_FALSE(IPS_ScriptExists(12345));
  EXPECT_EQ(IPS_GetScript(45678).Get(u"ScriptID").AsInteger(), 45678);
  EXPECT_EQ(IPS_GetScriptIDByName("Skript", 0), 45678);
  EXPECT_TRUE(IPS_VariableExists(23456));
  EXPECT_FALSE(IPS_VariableExists(34567));
  EXPECT_EQ(IPS_GetVariable(23456).Get(u"VariableValue").AsString(), u"hello");
  EXPECT_EQ(IPS_GetVariableIDByName("Text", 12345), 23456);
  EXPECT_EQ(IPS_GetLink(56789).Get(u"TargetID").AsInteger(), 12345);
  EXPECT_TRUE(SetValueFloat(12345, -0.25));
  EXPECT_TRUE(SetValueString(23456, "x\"y"));
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
  EXPECT_EQ(IPS_GetKernelStartTime(), 1700000000);
  EXPECT_TRUE(IPS_RunScript(45678));
  EXPECT_EQ(IPS_RunScriptWait(45678), "<b>done</b> \xc3\xa4");  // the reply's bytes

  EXPECT_EQ(server_->variableValueJson(12345), "-0.25");
  EXPECT_EQ(server_->variableValueJson(23456), R"("x\"y")");

  std::vector<std::string> methods;
  for (const auto& request : server_->requests()) methods.push_back(MethodOf(request.body));
  const std::vector<std::string> expected = {"IPS_ObjectExists",
                                             "IPS_ObjectExists",
                                             "IPS_GetObject",
                                             "IPS_GetObjectList",
                                             "IPS_GetObjectIDByName",
                                             "IPS_GetChildrenIDs",
                                             "IPS_GetName",
                                             "IPS_GetInstance",
                                             "IPS_ScriptExists",
                                             "IPS_ScriptExists",
                                             "IPS_GetScript",
                                             "IPS_GetScriptIDByName",
                                             "IPS_VariableExists",
                                             "IPS_VariableExists",
                                             "IPS_GetVariable",
                                             "IPS_GetVariableIDByName",
                                             "IPS_GetLink",
                                             "SetValueFloat",
                                             "SetValueString",
                                             "IPS_GetKernelVersion",
                                             "IPS_GetKernelStartTime",
                                             "IPS_RunScript",
                                             "IPS_RunScriptWait"};
  EXPECT_EQ(methods, expected);

  EXPECT_TRUE(SetValueBoolean(13579, true));
  EXPECT_TRUE(SetValueInteger(24680, -42));
  EXPECT_EQ(server_->variableValueJson(13579), "true");
  EXPECT_EQ(server_->variableValueJson(24680), "-42");
}

TEST_F(CallsTest, ServerErrorsPassThrough) {
  // The name lookups rely on this: no such child is an error from the server.
  for (const std::function<void()>& call : std::vector<std::function<void()>>{
           [] { IPS_GetObjectIDByName("Nope", 0); }, [] { IPS_GetVariableIDByName("Skript", 0); },
           [] { IPS_GetScriptIDByName("Text", 12345); }, [] { IPS_GetObject(11111); },
           [] { SetValueInteger(13579, 1); }}) {
    EXPECT_THROW(call(), Error);
  }
  try {
    IPS_GetObject(11111);
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "Object #11111 does not exist");
  }
}

TEST(CallsConversions, ResultsAreConvertedByTheirKind) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  RawHttpPeer peer;
  InitializeRPC("127.0.0.1", peer.port(), false, "", "");
  auto reply = [&](const std::string& result) {
    peer.SetBody("{\"jsonrpc\":\"2.0\",\"result\":" + result + ",\"id\":1}");
  };

  reply("null");
  EXPECT_FALSE(IPS_ObjectExists(1));
  EXPECT_EQ(IPS_GetObjectIDByName("x", 0), 0);
  EXPECT_EQ(IPS_GetName(1), "");
  EXPECT_TRUE(IPS_GetObject(1).IsNull());

  struct BooleanCase {
    const char* result;
    bool expected;
  };
  for (auto c : {BooleanCase{"0", false}, BooleanCase{"2", true}, BooleanCase{"0.0", false},
                 BooleanCase{"\"\"", false}, BooleanCase{"\"false\"", true},
                 BooleanCase{"[]", true}, BooleanCase{"false", false}}) {
    reply(c.result);
    EXPECT_EQ(SetValueBoolean(1, true), c.expected) << c.result;
  }

  struct IntegerCase {
    const char* result;
    std::int32_t expected;
  };
  for (auto c : {IntegerCase{"4294967296", 0}, IntegerCase{"4294967295", -1},
                 IntegerCase{"2147483648", -2147483647 - 1}, IntegerCase{"-5", -5},
                 IntegerCase{"2.5", 2}, IntegerCase{"\"42\"", 42}, IntegerCase{"true", 1}}) {
    reply(c.result);
    EXPECT_EQ(IPS_GetKernelStartTime(), c.expected) << c.result;
  }

  struct TextCase {
    const char* result;
    std::string expected;
  };
  for (auto c : {TextCase{"\"K\\u00fcche\"",
                          "K\xfc"
                          "che"},
                 TextCase{"\"K\xc3\xbc"
                          "che\"",
                          "K\xc3\xbc"
                          "che"},
                 TextCase{"\"\\u4e2d\"", "?"}, TextCase{"21.50", "21.5"},
                 TextCase{"[1,\"a\"]", "[1,\"a\"]"}, TextCase{"true", "true"}}) {
    reply(c.result);
    EXPECT_EQ(IPS_GetKernelVersion(), c.expected) << c.result;
  }

  // No "result" at all: the converting calls fail, the others hand back no value.
  peer.SetBody(R"({"jsonrpc":"2.0","id":1})");
  EXPECT_THROW(IPS_ScriptExists(1), Error);
  EXPECT_THROW(IPS_GetScriptIDByName("x", 0), Error);
  EXPECT_THROW(IPS_RunScriptWait(1), Error);
  EXPECT_FALSE(IPS_GetChildrenIDs(1).HasValue());
}

}  // namespace
}  // namespace velmar::api
