// The JSON-RPC methods of the simulated server, called without HTTP.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "sim/api.h"

namespace velmar::sim {
namespace {

const char* kTree = R"({"objects":[
  {"id":11111,"name":"Küche","position":2},
  {"id":22222,"parent":11111,"name":"Licht","type":"instance",
   "instance":{"moduleID":"{AB}","moduleName":"Dimmer","moduleType":3}},
  {"id":33333,"parent":11111,"name":"Licht","type":"variable",
   "variable":{"type":"boolean","value":false,"changed":1000,"updated":2000}},
  {"id":44444,"parent":11111,"name":"Temp","type":"variable",
   "variable":{"type":"float","value":20.5,"changed":1000,"updated":2000}},
  {"id":45555,"parent":11111,"name":"Zahl","type":"variable","variable":{"type":"integer"}},
  {"id":46666,"parent":11111,"name":"Text","type":"variable","variable":{"type":"string"}},
  {"id":55555,"parent":0,"name":"Wetter","type":"script","script":{"output":"<b>Sonne</b> &amp; W\u00e4rme"}},
  {"id":56666,"parent":0,"name":"Kaputt","type":"script","script":{"failsToStart":true}},
  {"id":57777,"parent":55555,"name":"Täglich","type":"event"},
  {"id":58888,"parent":0,"name":"Zur Küche","type":"link","link":{"target":11111}}
]})";

class SimApi : public ::testing::Test {
 protected:
  std::string Call(const std::string& request) { return api_.call(Json::parse(request)).dump(); }
  std::string Call(const std::string& method, const std::string& params) {
    return Call(R"({"jsonrpc":"2.0","method":")" + method + R"(","params":)" + params +
                R"(,"id":7})");
  }
  Json Result(const std::string& method, const std::string& params) {
    Json reply = Json::parse(Call(method, params));
    EXPECT_TRUE(reply.contains("result")) << reply.dump();
    return reply["result"];
  }
  Api api_{ObjectTree::fromJson(kTree, 1800000000), "6.4", 1700000000};
};

std::string Ok(const std::string& result) {
  return R"({"jsonrpc":"2.0","result":)" + result + R"(,"id":7})";
}
std::string Err(const std::string& message, int code = -32603) {
  return R"({"jsonrpc":"2.0","error":{"code":)" + std::to_string(code) + R"(,"message":")" +
         message + R"("},"id":7})";
}

TEST_F(SimApi, AnswersEachMethod) {
  struct Case {
    const char* method;
    const char* params;
    std::string reply;
  };
  const Case cases[] = {
      {"IPS_ObjectExists", "[0]", Ok("true")},
      {"IPS_ObjectExists", "[22222]", Ok("true")},
      {"IPS_ObjectExists", "[12]", Ok("false")},
      {"IPS_VariableExists", "[33333]", Ok("true")},
      {"IPS_VariableExists", "[22222]", Ok("false")},
      {"IPS_VariableExists", "[99999]", Ok("false")},
      {"IPS_ScriptExists", "[55555]", Ok("true")},
      {"IPS_ScriptExists", "[33333]", Ok("false")},
      {"IPS_GetObjectList", "[]",
       Ok("[0,11111,22222,33333,44444,45555,46666,55555,56666,57777,58888]")},
      {"IPS_GetChildrenIDs", "[0]", Ok("[11111,55555,56666,58888]")},
      {"IPS_GetChildrenIDs", "[33333]", Ok("[]")},
      {"IPS_GetChildrenIDs", "[12]", Err("Object #12 does not exist")},
      {"IPS_GetName", "[11111]", Ok("\"Küche\"")},
      {"IPS_GetName", "[0]", Ok("\"IP-Symcon\"")},
      {"IPS_GetName", "[-5]", Err("Object #-5 does not exist")},
      {"IPS_GetObject", "[12]", Err("Object #12 does not exist")},
      // Name lookups: direct children only, exact case, first match; typed ones by type.
      {"IPS_GetObjectIDByName", R"(["Küche",0])", Ok("11111")},
      {"IPS_GetObjectIDByName", R"(["küche",0])", Err("Object with name küche could not be found")},
      {"IPS_GetObjectIDByName", R"(["Licht",0])", Err("Object with name Licht could not be found")},
      {"IPS_GetObjectIDByName", R"(["Licht",11111])", Ok("22222")},
      {"IPS_GetObjectIDByName", R"(["",0])", Err("Name cannot be empty")},
      {"IPS_GetObjectIDByName", R"(["x",12])", Err("Object #12 does not exist")},
      {"IPS_GetVariableIDByName", R"(["Licht",11111])", Ok("33333")},
      {"IPS_GetVariableIDByName", R"(["Wetter",0])",
       Err("Variable with name Wetter could not be found")},
      {"IPS_GetScriptIDByName", R"(["Wetter",0])", Ok("55555")},
      {"IPS_GetScriptIDByName", R"(["Licht",11111])",
       Err("Script with name Licht could not be found")},
      // Typed records: missing and wrong-typed objects alike.
      {"IPS_GetInstance", "[22222]",
       Ok(R"({"InstanceID":22222,"InstanceStatus":102,"ConnectionID":0,"InstanceChanged":0,)"
          R"("InstanceSupportsSearching":false,"InstanceIsSearching":false,)"
          R"("ModuleInfo":{"ModuleID":"{AB}","ModuleName":"Dimmer","ModuleType":3}})")},
      {"IPS_GetInstance", "[33333]", Err("Instance #33333 does not exist")},
      {"IPS_GetVariable", "[22222]", Err("Variable #22222 does not exist")},
      {"IPS_GetScript", "[58888]", Err("Script #58888 does not exist")},
      {"IPS_GetLink", "[58888]", Ok(R"({"LinkID":58888,"TargetID":11111})")},
      {"IPS_GetLink", "[11111]", Err("Link #11111 does not exist")},
      {"IPS_RunScriptWait", "[55555]", Ok("\"<b>Sonne</b> &amp; Wärme\"")},
      {"IPS_RunScript", "[55555]", Ok("true")},
      {"IPS_RunScript", "[56666]", Ok("false")},
      {"IPS_RunScript", "[33333]", Err("Script #33333 does not exist")},
      {"IPS_RunScriptWait", "[1]", Err("Script #1 does not exist")},
      {"IPS_GetKernelVersion", "[]", Ok("\"6.4\"")},
      {"IPS_GetKernelStartTime", "[]", Ok("1700000000")},
      // Bad calls are error replies.
      {"IPS_GetObjects", "[]", Err("Method not found", -32601)},
      {"IPS_GetObject", "[]", Err("IPS_GetObject expects 1 parameter, got 0")},
      {"IPS_GetObject", "[1,2]", Err("IPS_GetObject expects 1 parameter, got 2")},
      {"IPS_GetObject", R"(["11111"])", Err("Parameter type of ID does not match")},
      {"IPS_GetObject", "[1.5]", Err("Parameter type of ID does not match")},
      {"IPS_GetObject", "[4294967296]", Err("Parameter type of ID does not match")},
      {"IPS_GetObject", "[18446744073709551615]", Err("Parameter type of ID does not match")},
      {"IPS_GetObjectIDByName", "[1,0]", Err("Parameter type of Name does not match")},
      {"IPS_GetKernelVersion", "[1]", Err("IPS_GetKernelVersion expects 0 parameters, got 1")},
      {"IPS_GetObject", "{}", Err("Parameters must be an array")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + c.params);
    EXPECT_EQ(Call(c.method, c.params), c.reply);
  }
}

TEST_F(SimApi, EchoesTheIdAndRejectsBrokenEnvelopes) {
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","method":"IPS_GetKernelVersion","params":[],"id":"abc"})"),
            R"({"jsonrpc":"2.0","result":"6.4","id":"abc"})");
  EXPECT_EQ(
      Call(R"({"method":"IPS_GetKernelVersion","params":[],"id":12345678901,"jsonrpc":"2.0"})"),
      R"({"jsonrpc":"2.0","result":"6.4","id":12345678901})");
  // Without params the parameter list is empty.
  EXPECT_EQ(Call(R"({"method":"IPS_GetKernelVersion","id":1})"),
            R"({"jsonrpc":"2.0","result":"6.4","id":1})");
  EXPECT_EQ(Call(R"({"params":[],"id":3})"),
            R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request"},"id":3})");
  EXPECT_EQ(Call(R"([1,2])"),
            R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request"},"id":null})");
  EXPECT_EQ(Call(R"({"method":5,"id":1})"),
            R"({"jsonrpc":"2.0","error":{"code":-32600,"message":"Invalid Request"},"id":1})");
}

TEST_F(SimApi, SetValueChecksTypesAndStoresTheValue) {
  struct Case {
    const char* method;
    const char* params;
    std::string reply;
  };
  const Case cases[] = {
      {"SetValueBoolean", "[33333,true]", Ok("true")},
      {"SetValueBoolean", "[33333,1]", Err("Parameter type of Value does not match")},
      {"SetValueBoolean", "[44444,true]", Err("Parameter type of Value does not match")},
      {"SetValueFloat", "[44444,21]", Ok("true")},
      {"SetValueFloat", "[44444,\"21\"]", Err("Parameter type of Value does not match")},
      {"SetValueInteger", "[45555,-2147483648]", Ok("true")},
      {"SetValueInteger", "[45555,1.5]", Err("Parameter type of Value does not match")},
      {"SetValueInteger", "[45555,2147483648]", Err("Parameter type of Value does not match")},
      {"SetValueInteger", "[44444,2]", Err("Parameter type of Value does not match")},
      {"SetValueString", "[46666,\"Grüße \\\"x\\\"\"]", Ok("true")},
      {"SetValueString", "[46666,null]", Err("Parameter type of Value does not match")},
      {"SetValueString", "[22222,\"x\"]", Err("Variable #22222 does not exist")},
      {"SetValueString", "[12,\"x\"]", Err("Variable #12 does not exist")},
      {"SetValueString", "[46666]", Err("SetValueString expects 2 parameters, got 1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + c.params);
    EXPECT_EQ(Call(c.method, c.params), c.reply);
  }
  EXPECT_EQ(api_.variableValueJson(33333), "true");
  EXPECT_EQ(api_.variableValueJson(44444), "21.0");
  EXPECT_EQ(api_.variableValueJson(45555), "-2147483648");
  EXPECT_EQ(api_.variableValueJson(46666), "\"Grüße \\\"x\\\"\"");
  EXPECT_EQ(Result("GetValue", "[46666]"), "Grüße \"x\"");
  EXPECT_THROW(api_.variableValueJson(22222), std::runtime_error);
}

TEST_F(SimApi, UpdatedMovesOnEveryWriteChangedOnlyWhenTheValueChanges) {
  const int64_t before = std::time(nullptr);
  ASSERT_EQ(Result("SetValueFloat", "[44444,20.5]"), true);  // the same value
  Json record = Result("IPS_GetVariable", "[44444]");
  EXPECT_EQ(record["VariableChanged"], 1000);
  EXPECT_GE(record["VariableUpdated"].get<int64_t>(), before);

  ASSERT_EQ(Result("SetValueFloat", "[44444,20.400000000000002]"), true);
  record = Result("IPS_GetVariable", "[44444]");
  EXPECT_GE(record["VariableChanged"].get<int64_t>(), before);
  EXPECT_EQ(record["VariableChanged"], record["VariableUpdated"]);
  EXPECT_EQ(record["VariableValue"].dump(), "20.400000000000002");
}

TEST_F(SimApi, RunningAScriptSetsItsExecutionTime) {
  const int64_t before = std::time(nullptr);
  EXPECT_EQ(Result("IPS_GetScript", "[55555]")["ScriptExecuted"], 0);
  Result("IPS_RunScript", "[55555]");
  EXPECT_GE(Result("IPS_GetScript", "[55555]")["ScriptExecuted"].get<int64_t>(), before);
  Result("IPS_RunScript", "[56666]");  // did not start
  EXPECT_EQ(Result("IPS_GetScript", "[56666]")["ScriptExecuted"], 0);
}

TEST_F(SimApi, ObjectJsonIsTheStoredRecord) {
  EXPECT_EQ(
      api_.objectJson(57777),
      R"({"ParentID":55555,"ObjectID":57777,"ObjectType":4,"ObjectIdent":"",)"
      R"("ObjectName":"Täglich","ObjectInfo":"","ObjectIcon":"","ObjectSummary":"",)"
      R"("ObjectPosition":0,"ObjectIsReadOnly":false,"ObjectIsHidden":false,)"
      R"("ObjectIsDisabled":false,"ObjectIsLocked":false,"HasChildren":false,"ChildrenIDs":[]})");
  EXPECT_THROW(api_.objectJson(12), std::runtime_error);
}

}  // namespace
}  // namespace velmar::sim
