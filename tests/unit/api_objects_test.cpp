#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "api/ips_objects.h"
#include "core/error.h"
#include "json/reader.h"
#include "platform/time_zone.h"

namespace velmar::api {
namespace {

// Record text as the transport reads a reply body: one character per byte.
JsonRef Record(const std::string& bytes) {
  JsonRef value = json::ParseJsonCodePage(bytes);
  EXPECT_TRUE(value) << bytes;
  return value;
}

// Sets the process's time zone for one test and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, hadZone_ = true;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (hadZone_)
      ::setenv("TZ", saved_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::string saved_;
  bool hadZone_ = false;
};

TEST(ApiMakeList, TurnsIdArraysIntoSixteenBitLists) {
  struct Case {
    const char* json;
    IPSList expected;
  };
  const Case cases[] = {
      {"[]", {}},          {"[12345]", {12345}}, {"[10000,10001,10002]", {10000, 10001, 10002}},
      {"[70000]", {4464}}, {"[-1]", {65535}},    {"[ 1 , 2 ]", {1, 2}},
  };
  for (const Case& c : cases) EXPECT_EQ(MakeList(Record(c.json)), c.expected) << c.json;
}

TEST(ApiMakeList, FailsOnElementsThatAreNotIntegers) {
  for (const char* json : {"[null]", "[\"a\"]", "[1.5]", "[10000,true]", "[4294967296]"})
    EXPECT_THROW(MakeList(Record(json)), Error) << json;
  EXPECT_THROW(MakeList(JsonRef()), Error);
}

TEST(ApiIPSObject, ReadsEveryFieldOfAServerRecord) {
  IPSObject object(
      Record(R"({"ParentID":10000,"ObjectID":12345,"ObjectType":2,"ObjectIdent":"temp",)"
             R"("ObjectName":"Temperatur","ObjectInfo":"info","ObjectIcon":"Flame",)"
             R"("ObjectSummary":"sum","ObjectPosition":-3,"ObjectIsReadOnly":true,)"
             R"("ObjectIsHidden":true,"ObjectIsDisabled":true,"ObjectIsLocked":true,)"
             R"("HasChildren":true,"ChildrenIDs":[20000,20001]})"));
  EXPECT_EQ(object.Parent(), 10000);
  EXPECT_EQ(object.ID(), 12345);
  EXPECT_EQ(object.ObjectType(), IPSObjectType::otVariable);
  EXPECT_EQ(object.Ident(), u"temp");
  EXPECT_EQ(object.Name(), u"Temperatur");
  EXPECT_EQ(object.Info(), u"info");
  EXPECT_EQ(object.Icon(), u"Flame");
  EXPECT_EQ(object.Summary(), u"sum");
  EXPECT_EQ(object.Position(), -3);
  EXPECT_TRUE(object.IsReadOnly());
  EXPECT_TRUE(object.IsHidden());
  EXPECT_TRUE(object.IsDisabled());
  EXPECT_TRUE(object.IsLocked());
  EXPECT_TRUE(object.HasChildren());
  EXPECT_EQ(object.Children(), (IPSList{20000, 20001}));
}

TEST(ApiIPSObject, MissingAndNullKeysKeepStartValues) {
  for (const char* json : {"{}", R"({"ObjectName":null,"ObjectType":null,"ObjectID":null,)"
                                 R"("ObjectIsHidden":null,"ChildrenIDs":null})"}) {
    IPSObject object(Record(json));
    EXPECT_EQ(object.Name(), u"") << json;
    EXPECT_EQ(object.ObjectType(), IPSObjectType::otCategory) << json;
    EXPECT_EQ(object.ID(), 0) << json;
    EXPECT_FALSE(object.IsHidden()) << json;
    EXPECT_TRUE(object.Children().empty()) << json;
  }
}

TEST(ApiIPSObject, KeysAreExactAndConversionsFollowTheValue) {
  IPSObject object(Record(
      R"({"objectname":"lower","ObjectType":7,"ObjectID":4294967297,"ObjectName":12.5,)"
      R"("ObjectIsHidden":"false","ObjectPosition":"$1F","ObjectInfo":{"a":[1,"\u00e4"]}})"));
  EXPECT_EQ(object.Name(), u"12.5");                    // non-string values read as their JSON text
  EXPECT_EQ(static_cast<int>(object.ObjectType()), 7);  // kept outside the enumeration
  EXPECT_EQ(object.ID(), 1);                            // low 32 bits
  EXPECT_TRUE(object.IsHidden());                       // a non-empty string is true
  EXPECT_EQ(object.Position(), 31);
  EXPECT_EQ(object.Info(), u"{\"a\":[1,\"\u00e4\"]}");
}

TEST(ApiIPSObject, NamesReadAsTheServerMeantThem) {
  // Raw UTF-8 bytes (the ü as C3 BC) and a \u escape both give Küche.
  EXPECT_EQ(IPSObject(Record("{\"ObjectName\":\"K\xc3\xbc"
                             "che\"}"))
                .Name(),
            u"K\u00fcche");
  EXPECT_EQ(IPSObject(Record(R"({"ObjectName":"K\u00fcche"})")).Name(), u"K\u00fcche");
  EXPECT_EQ(IPSObject(Record(R"({"ObjectName":"\u4e2d\u6587"})")).Name(), u"\u4e2d\u6587");
}

TEST(ApiIPSObject, ABadChildListFailsTheRecord) {
  EXPECT_THROW(IPSObject(Record(R"({"ObjectName":"x","ChildrenIDs":[1,null]})")), Error);
}

TEST(ApiRecords, ValuesThatAreNotObjectsFail) {
  for (const char* json : {"null", "[1,2]", "\"text\"", "12"}) {
    JsonRef value = Record(json);
    EXPECT_THROW(IPSObject{value}, Error) << json;
    EXPECT_THROW(IPSInstance{value}, Error) << json;
    EXPECT_THROW(IPSScript{value}, Error) << json;
    EXPECT_THROW(IPSLink{value}, Error) << json;
    EXPECT_THROW(IPSVariable{value}, Error) << json;
  }
  EXPECT_THROW(IPSObject{JsonRef()}, Error);
  EXPECT_THROW(IPSInstance(Record(R"({"InstanceID":1,"ModuleInfo":[1]})")), Error);
}

TEST(ApiIPSInstance, ReadsTheModuleInfoMembers) {
  IPSInstance instance(Record(
      R"({"InstanceID":30000,"InstanceStatus":102,"ConnectionID":30001,"InstanceChanged":1700000000,)"
      R"("InstanceSupportsSearching":true,"InstanceIsSearching":false,"ModuleID":"outer",)"
      R"("ModuleInfo":{"ModuleID":"{ABC}","ModuleName":"Dimmer","ModuleType":3}})"));
  EXPECT_EQ(instance.ID(), 30000);
  EXPECT_EQ(instance.Status(), 102);
  EXPECT_EQ(instance.ConnectionID(), 30001);
  EXPECT_EQ(instance.Changed(), 1700000000);
  EXPECT_TRUE(instance.SupportSearching());
  EXPECT_FALSE(instance.IsSearching());
  EXPECT_EQ(instance.ModuleID(), u"{ABC}");
  EXPECT_EQ(instance.ModulName(), u"Dimmer");
  EXPECT_EQ(instance.ModuleType(), IPSModuleType::mtDevice);

  IPSInstance bare(Record(R"({"InstanceID":1,"ModuleName":"not here"})"));
  EXPECT_EQ(bare.ModulName(), u"");
  EXPECT_EQ(bare.ModuleType(), IPSModuleType::mtCore);
}

TEST(ApiIPSScriptAndLink, ReadTheirRecords) {
  ScopedTimeZone zone("UTC0");
  IPSScript script(Record(R"({"ScriptID":40000,"ScriptType":0,"ScriptFile":"40000.ips.php",)"
                          R"("ScriptExecuted":86400,"ScriptIsBroken":true})"));
  EXPECT_EQ(script.ID(), 40000);
  EXPECT_EQ(script.ScriptType(), 0);
  EXPECT_EQ(script.ScriptFile(), u"40000.ips.php");
  EXPECT_DOUBLE_EQ(script.Executed(), 25570.0);
  EXPECT_TRUE(script.IsBroken());
  EXPECT_DOUBLE_EQ(IPSScript(Record("{}")).Executed(), 0.0);

  IPSLink link(Record(R"({"LinkID":50000,"TargetID":12345})"));
  EXPECT_EQ(link.ID(), 50000);
  EXPECT_EQ(link.Target(), 12345);
}

TEST(ApiDateTime, ShiftsByTheOffsetInForceNow) {
  struct Case {
    const char* zone;
    double offsetHours;  // local minus UTC
  };
  for (const Case& c : {Case{"UTC0", 0}, Case{"IST-5:30", 5.5}, Case{"EST5", -5}}) {
    ScopedTimeZone zone(c.zone);
    EXPECT_DOUBLE_EQ(platform::TimeZoneBias(), -c.offsetHours / 24) << c.zone;
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0), 25569.0 + c.offsetHours / 24) << c.zone;
    IPSScript script(Record(R"({"ScriptExecuted":1700000000})"));
    EXPECT_DOUBLE_EQ(script.Executed(), 25569.0 + 1700000000.0 / 86400 + c.offsetHours / 24)
        << c.zone;
    IPSScript null(Record(R"({"ScriptExecuted":null})"));
    EXPECT_DOUBLE_EQ(null.Executed(), 25569.0 + c.offsetHours / 24) << c.zone;
  }
}

TEST(ApiDateTime, EachTimestampUsesTheOffsetOfItsOwnSeason) {
  // Central European time; whatever the season today, a July time stamp reads in summer
  // time and a January one in winter time.
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::int64_t july = 1688212800;     // 2023-07-01 12:00 UTC, 14:00 local
  const std::int64_t january = 1673784000;  // 2023-01-15 12:00 UTC, 13:00 local
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(july), 25569.0 + july / 86400.0 + 2.0 / 24);
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(january), 25569.0 + january / 86400.0 + 1.0 / 24);
  IPSScript script(Record(R"({"ScriptExecuted":1688212800})"));
  EXPECT_DOUBLE_EQ(script.Executed(), 25569.0 + july / 86400.0 + 2.0 / 24);
}

TEST(ApiDateTime, DaylightSavingTimeCountsWhileInForce) {
  // A zone that is in daylight-saving time all year: standard +1, daylight +2.
  ScopedTimeZone zone("XST-1XDT,0/0,J365/25");
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // The rule's ends meet in the first hour of the year, which may count as either.
  if (local.tm_isdst != 1) GTEST_SKIP() << "daylight-saving time not in force at this moment";
  EXPECT_DOUBLE_EQ(platform::TimeZoneBias(), -2.0 / 24);
}

}  // namespace
}  // namespace velmar::api
