// The Archive Control of the simulated server: its calls as the real server answers them, the
// archive keys of the tree file, generated histories and live changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

#include "sim/api.h"
#include "sim/archive.h"
#include "sim/profiles.h"
#include "sim/simulator.h"

namespace velmar::sim {
namespace {

constexpr int64_t kNow = 1800000000;  // 2027-01-15 08:00:00 UTC

// Archive 10001; counter 20001 logged 500, 505, 520, 521 a minute apart; temperature 20002 with
// three changes in the two hours before now; 20003 with a gap; 20004 not logged; a logged text.
const char* kTree = R"({"objects":[
  {"id":10001,"type":"instance","name":"Archive","instance":{"moduleID":
   "{43192F0B-135B-4CE7-A0A7-1475603F3060}","moduleType":0}},
  {"id":10002,"type":"instance","name":"Other","instance":{"moduleID":"{AB}"}},
  {"id":20001,"type":"variable","variable":{"type":"integer","archive":{"aggregation":"counter",
   "history":[[-240,500],[-180,505],[-120,520],[-60,521]]}}},
  {"id":20002,"type":"variable","variable":{"type":"float","profile":"~Temperature","archive":{
   "history":[[-1800,21],[-7200,20.0],[-5400,22.5]]}}},
  {"id":20003,"type":"variable","variable":{"type":"float","archive":{
   "history":[[-7200,1.5],[-3600,2.5]],"gaps":[[-5400,-4000]]}}},
  {"id":20004,"type":"variable","variable":{"type":"float","value":3.5}},
  {"id":20005,"type":"variable","variable":{"type":"string","archive":{"history":[[-60,"a"]]}}},
  {"id":20006,"type":"variable","variable":{"type":"boolean","archive":{
   "history":[[-100,true],[-90,true],[-80,false]]}}}
]})";

class SimArchive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
  }

  std::string Call(const std::string& method, const std::string& params) {
    return api_
        .call(Json::parse(R"({"jsonrpc":"2.0","method":")" + method + R"(","params":)" + params +
                          R"(,"id":1})"))
        .dump();
  }
  Json Result(const std::string& method, const std::string& params) {
    Json reply = api_.call(Json::parse(R"({"jsonrpc":"2.0","method":")" + method +
                                       R"(","params":)" + params + R"(,"id":1})"));
    EXPECT_TRUE(reply.contains("result")) << reply.dump();
    return reply["result"];
  }

  int64_t now_ = kNow;
  Api api_{ObjectTree::fromJson(kTree, kNow), "6.4", kNow, [this] { return now_; }};
};

std::string Ok(const std::string& result) {
  return R"({"jsonrpc":"2.0","result":)" + result + R"(,"id":1})";
}
std::string Err(const std::string& message) {
  return R"({"jsonrpc":"2.0","error":{"code":-32603,"message":")" + message + R"("},"id":1})";
}

TEST_F(SimArchive, AnswersTheArchiveCallsAsDocumented) {
  struct Case {
    const char* method;
    const char* params;
    std::string reply;
  };
  const Case cases[] = {
      {"IPS_GetInstanceListByModuleID", R"(["{43192F0B-135B-4CE7-A0A7-1475603F3060}"])",
       Ok("[10001]")},
      {"IPS_GetInstanceListByModuleID", R"(["{43192f0b-135b-4ce7-a0a7-1475603f3060}"])",
       Ok("[10001]")},
      {"IPS_GetInstanceListByModuleID", R"(["{00000000-0000-0000-0000-000000000000}"])", Ok("[]")},
      {"AC_GetLoggingStatus", "[10001,20002]", Ok("true")},
      {"AC_GetLoggingStatus", "[10001,20004]", Ok("false")},
      {"AC_GetAggregationType", "[10001,20001]", Ok("1")},
      {"AC_GetAggregationType", "[10001,20002]", Ok("0")},
      // Raw records newest first, each with how long it held (the newest: until now).
      {"AC_GetLoggedValues", "[10001,20002,0,0,0]",
       Ok(R"([{"TimeStamp":1799998200,"Value":21.0,"Duration":1800},)"
          R"({"TimeStamp":1799994600,"Value":22.5,"Duration":3600},)"
          R"({"TimeStamp":1799992800,"Value":20.0,"Duration":1800}])")},
      // Start and end are inclusive; the limit keeps the newest.
      {"AC_GetLoggedValues", "[10001,20002,1799994600,1799998199,0]",
       Ok(R"([{"TimeStamp":1799994600,"Value":22.5,"Duration":3600}])")},
      {"AC_GetLoggedValues", "[10001,20002,0,1799998200,1]",
       Ok(R"([{"TimeStamp":1799998200,"Value":21.0,"Duration":1800}])")},
      {"AC_GetLoggedValues", "[10001,20004,0,0,0]", Ok("[]")},
      // Only changes are logged: the second true is not a record.
      {"AC_GetLoggedValues", "[10001,20006,0,0,0]",
       Ok(R"([{"TimeStamp":1799999920,"Value":false,"Duration":80},)"
          R"({"TimeStamp":1799999900,"Value":true,"Duration":20}])")},
      {"AC_GetLoggedValues", "[10001,20005,0,0,0]",
       Ok(R"([{"TimeStamp":1799999940,"Value":"a","Duration":60}])")},
      // A counter's periods hold the positive changes against the record before: 500, 505,
      // 520, 521 give 0, 5, 15, 1 (newest first here).
      {"AC_GetAggregatedValues", "[10001,20001,6,0,0,0]",
       Ok(R"([{"TimeStamp":1799999940,"Duration":60,"Avg":1.0,"Min":1.0,"MinTime":1799999940,)"
          R"("Max":1.0,"MaxTime":1799999940},)"
          R"({"TimeStamp":1799999880,"Duration":60,"Avg":15.0,"Min":15.0,"MinTime":1799999880,)"
          R"("Max":15.0,"MaxTime":1799999880},)"
          R"({"TimeStamp":1799999820,"Duration":60,"Avg":5.0,"Min":5.0,"MinTime":1799999820,)"
          R"("Max":5.0,"MaxTime":1799999820},)"
          R"({"TimeStamp":1799999760,"Duration":60,"Avg":0.0,"Min":0.0,"MinTime":1799999760,)"
          R"("Max":0.0,"MaxTime":1799999760}])")},
      {"AC_GetAggregatedValues", "[10001,20001,0,0,0,0]",
       Ok(R"([{"TimeStamp":1799996400,"Duration":3600,"Avg":21.0,"Min":1.0,)"
          R"("MinTime":1799999940,"Max":15.0,"MaxTime":1799999880}])")},
      // Standard periods: time-weighted averages, extremes with the moment they held from.
      {"AC_GetAggregatedValues", "[10001,20002,0,0,0,0]",
       Ok(R"([{"TimeStamp":1799996400,"Duration":3600,"Avg":21.75,"Min":21.0,)"
          R"("MinTime":1799998200,"Max":22.5,"MaxTime":1799996400},)"
          R"({"TimeStamp":1799992800,"Duration":3600,"Avg":21.25,"Min":20.0,)"
          R"("MinTime":1799992800,"Max":22.5,"MaxTime":1799994600}])")},
      {"AC_GetAggregatedValues", "[10001,20002,0,0,0,1]",
       Ok(R"([{"TimeStamp":1799996400,"Duration":3600,"Avg":21.75,"Min":21.0,)"
          R"("MinTime":1799998200,"Max":22.5,"MaxTime":1799996400}])")},
      {"AC_GetAggregatedValues", "[10001,20006,1,0,0,0]",
       Ok(R"([{"TimeStamp":1799971200,"Duration":86400,"Avg":0.2,"Min":0.0,)"
          R"("MinTime":1799999920,"Max":1.0,"MaxTime":1799999900}])")},
      {"AC_GetAggregatedValues", "[10001,20004,1,0,0,0]", Ok("[]")},
      // Errors.
      {"AC_GetLoggedValues", "[10002,20002,0,0,0]",
       Err("Instance #10002 is not an Archive Control")},
      {"AC_GetLoggedValues", "[20002,20002,0,0,0]", Err("Instance #20002 does not exist")},
      {"AC_GetLoggingStatus", "[10001,10002]", Err("Variable #10002 does not exist")},
      {"AC_GetLoggedValues", "[10001,20002,0,0,-1]", Err("Limit must not be negative")},
      {"AC_GetLoggedValues", "[10001,20002,\"0\",0,0]",
       Err("Parameter type of StartTime does not match")},
      {"AC_GetLoggedValues", "[10001,20002,0,0]",
       Err("AC_GetLoggedValues expects 5 parameters, got 4")},
      {"AC_GetAggregatedValues", "[10001,20002,7,0,0,0]",
       Err("Aggregation level 7 does not exist (0 to 6)")},
      {"AC_GetAggregatedValues", "[10001,20005,0,0,0,0]",
       Err("String variables have no aggregated values")},
      {"IPS_GetVariableProfile", R"(["~Nothing"])", Err("Profile ~Nothing does not exist")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + c.params);
    EXPECT_EQ(Call(c.method, c.params), c.reply);
  }
  EXPECT_EQ(Result("IPS_GetVariableProfile", R"(["~Temperature"])")["Suffix"], " °C");
}

TEST_F(SimArchive, AGapEndsTheValueAndLeavesItsPeriodsOut) {
  EXPECT_EQ(Call("AC_GetLoggedValues", "[10001,20003,0,0,0]"),
            Ok(R"([{"TimeStamp":1799996400,"Value":2.5,"Duration":3600},)"
               R"({"TimeStamp":1799992800,"Value":1.5,"Duration":1800}])"));
  // 06:31 to 06:59 lie in the gap; the hour before it averages only what was logged.
  EXPECT_EQ(Call("AC_GetAggregatedValues", "[10001,20003,6,1799994660,1799996340,0]"), Ok("[]"));
  const Json hours = Result("AC_GetAggregatedValues", "[10001,20003,0,0,0,0]");
  ASSERT_EQ(hours.size(), 2u);
  EXPECT_EQ(hours[1]["Avg"], 1.5);
}

TEST_F(SimArchive, NewValuesAreLoggedWhenTheyChange) {
  now_ = kNow + 10;
  Result("SetValueFloat", "[20002,21]");  // the value that holds: no record
  now_ = kNow + 20;
  Result("SetValueFloat", "[20002,23.5]");
  const Json records = Result("AC_GetLoggedValues", "[10001,20002,0,0,2]");
  EXPECT_EQ(records.dump(), R"([{"TimeStamp":1800000020,"Value":23.5,"Duration":0},)"
                            R"({"TimeStamp":1799998200,"Value":21.0,"Duration":1820}])");
}

TEST(SimArchiveLimits, TenThousandRecordsAtMostAndPagingByTimeLosesNone) {
  std::string history;
  for (int i = 0; i < 25000; ++i)
    history += (i ? ",[" : "[") + std::to_string(3 * i - 75000) + "," + std::to_string(i) + "]";
  const std::string tree = R"({"objects":[
    {"id":10001,"type":"instance","instance":{"moduleID":"{43192F0B-135B-4CE7-A0A7-1475603F3060}"}},
    {"id":20001,"type":"variable","variable":{"type":"integer","archive":{"history":[)" +
                           history + "]}}}]}";
  Api api(ObjectTree::fromJson(tree, kNow), "6.4", kNow, [] { return kNow; });
  auto logged = [&](int64_t end, int64_t limit) {
    return api.call(Json::parse(R"({"method":"AC_GetLoggedValues","params":[10001,20001,0,)" +
                                std::to_string(end) + "," + std::to_string(limit) +
                                "]}"))["result"];
  };
  EXPECT_EQ(logged(0, 0).size(), 10000u);
  EXPECT_EQ(logged(0, 25000).size(), 10000u);
  EXPECT_EQ(logged(0, 7).size(), 7u);
  std::size_t total = 0;
  int64_t end = 0, previous = kNow + 1;
  for (Json page = logged(end, 0); !page.empty(); page = logged(end, 0)) {
    for (const Json& record : page) {
      EXPECT_LT(record["TimeStamp"].get<int64_t>(), previous);
      previous = record["TimeStamp"].get<int64_t>();
    }
    total += page.size();
    end = previous - 1;
  }
  EXPECT_EQ(total, 25000u);
}

TEST(SimArchivePeriods, FollowLocalDaysWeeksAndMonths) {
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  // 2027-03-28 is the day daylight-saving time starts in Central Europe: 23 hours long.
  const int64_t noon = 1806228000;  // 2027-03-28 12:00 CEST
  struct Case {
    AggregationLevel level;
    int64_t start, end;
  };
  const Case cases[] = {
      {AggregationLevel::Minute, noon, noon + 60},
      {AggregationLevel::FiveMinutes, noon, noon + 300},
      {AggregationLevel::Hour, noon, noon + 3600},
      {AggregationLevel::Day, 1806188400, 1806271200},    // 00:00 CET to 00:00 CEST: 23 hours
      {AggregationLevel::Week, 1805670000, 1806271200},   // Monday 22 March to Monday 29 March
      {AggregationLevel::Month, 1803855600, 1806530400},  // 1 March to 1 April
      {AggregationLevel::Year, 1798758000, 1830294000},   // 2027 to 2028
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.level));
    EXPECT_EQ(PeriodStart(c.level, noon + 59), c.start);
    EXPECT_EQ(PeriodEnd(c.level, c.start), c.end);
  }
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
}

TEST(SimArchiveTree, RefusesFaultyArchiveKeys) {
  struct Case {
    const char* variable;
    const char* message;
  };
  const Case cases[] = {
      {R"("type":"float","archive":{"history":[[1,"x"]]})", "does not match its type"},
      {R"("type":"float","archive":{"history":[1,2]})", "[time, value] pairs"},
      {R"("type":"string","archive":{"aggregation":"counter"})", "can be counters"},
      {R"("type":"float","archive":{"aggregation":"sum"})", "standard or counter"},
      {R"("type":"float","archive":{"history":[],"generator":{"kind":"curve"}})", "not both"},
      {R"("type":"float","archive":{"generator":{"kind":"switch"}})", "does not fit"},
      {R"("type":"string","archive":{"generator":{"kind":"text"}})", "needs \"texts\""},
      {R"("type":"float","archive":{"generator":{}})", "\"kind\" is required"},
      {R"("type":"float","archive":{"generator":{"kind":"curve","interval":1,"days":30}})",
       "more than 2000000 samples"},
      {R"("type":"float","archive":{"gaps":[[-10,-20]]})", "a gap must end after it starts"},
      {R"("type":"float","archive":{"gaps":[[-10,10]]})", "before the server starts"},
      {R"("type":"float","archive":{"logged":true})", "unknown key \"logged\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    const std::string tree =
        std::string(R"({"objects":[{"id":20001,"type":"variable","variable":{)") + c.variable +
        "}}]}";
    try {
      ObjectTree::fromJson(tree, kNow);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("object 20001"), std::string::npos) << e.what();
    }
  }
}

TEST(SimArchiveTree, TheValueOfTheFileEndsTheHistoryOrTheNewestRecordIsTheValue) {
  ObjectTree tree = ObjectTree::fromJson(
      R"({"objects":[{"id":20001,"type":"variable","variable":{"type":"float","value":1,)"
      R"("archive":{"history":[[-60,2.5],[-120,4]]}}},)"
      R"({"id":20002,"type":"variable","variable":{"type":"float",)"
      R"("archive":{"history":[[-60,2.5],[-120,4]]}}}],)"
      R"("profiles":[{"name":"Watt","suffix":" W"}]})",
      kNow);
  const VariableData& given = *tree.find(20001)->variable;
  EXPECT_EQ(given.value, 1.0);
  EXPECT_EQ(given.changed, kNow);
  EXPECT_EQ(given.archive->loggedValues(0, 0, 0, kNow).size(), 3u);
  const VariableData& logged = *tree.find(20002)->variable;
  EXPECT_EQ(logged.value, 2.5);
  EXPECT_EQ(logged.changed, kNow - 60);
  EXPECT_EQ(tree.profiles().find("Watt")->suffix, " W");
}

TEST(SimArchiveGenerator, SameTreeSameHistoryAndLiveValuesContinueIt) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  const std::string text = Simulator::demoHomeJson();
  const ObjectTree a = ObjectTree::fromJson(text, kNow);
  const ObjectTree b = ObjectTree::fromJson(text, kNow);
  int archives = 0;
  std::set<int> kinds;
  int counterID = 0, switchID = 0;
  for (int id : a.ids()) {
    const Object& o = *a.find(id);
    if (o.instance && o.instance->moduleID == kArchiveModuleID) ++archives;
    if (!o.variable || !o.variable->archive) continue;
    const ArchiveLog& log = *o.variable->archive;
    const ArchiveLog& same = *b.find(id)->variable->archive;
    ASSERT_TRUE(log.generator()) << id;
    kinds.insert(static_cast<int>(log.generator()->kind));
    EXPECT_EQ(log.loggedValues(0, 0, 0, kNow), same.loggedValues(0, 0, 0, kNow)) << id;
    // The history reaches back 400 days.
    const Json oldest = log.loggedValues(0, kNow - 399 * 86400, 1, kNow);
    EXPECT_EQ(oldest.size(), 1u) << o.name;
    if (log.aggregation() == Aggregation::Counter) counterID = id;
    if (o.variable->type == VariableType::Boolean) switchID = id;
  }
  EXPECT_EQ(archives, 1);
  EXPECT_EQ(kinds, (std::set<int>{0, 1, 2, 3}));
  ASSERT_NE(counterID, 0);
  ASSERT_NE(switchID, 0);
  EXPECT_EQ(a.find(a.find(counterID)->parent)->name, "Energie Tageswerte");

  // Live changes: the counter grows, each change is logged and becomes the value.
  Api api(ObjectTree::fromJson(text, kNow), "6.4", kNow, [] { return kNow; });
  const std::string read =
      R"({"method":"IPS_GetVariable","params":[)" + std::to_string(counterID) + "]}";
  const double before = api.call(Json::parse(read))["result"]["VariableValue"].get<double>();
  api.liveTick(kNow + 3600);
  const Json after = api.call(Json::parse(read))["result"];
  EXPECT_GT(after["VariableValue"].get<double>(), before);
  EXPECT_EQ(after["VariableChanged"], kNow + 3600);
}

}  // namespace
}  // namespace velmar::sim
