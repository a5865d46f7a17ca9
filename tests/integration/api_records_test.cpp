#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "api_fixture.h"
#include "core/error.h"
#include "json/json.h"

namespace velmar::api {
namespace {

using velmar::testing::ApiServerTest;

class RecordsTest : public ApiServerTest {
 protected:
  void TearDown() override {
    if (hadZone_)
      ::setenv("TZ", savedZone_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
    ApiServerTest::TearDown();
  }

  void SetZone(const char* zone) {
    if (!zoneSaved_) {
      if (const char* old = std::getenv("TZ")) savedZone_ = old, hadZone_ = true;
      zoneSaved_ = true;
    }
    ::setenv("TZ", zone, 1);
    ::tzset();
  }

 private:
  std::string savedZone_;
  bool hadZone_ = false;
  bool zoneSaved_ = false;
};

TEST_F(RecordsTest, VariableTakesNameAndParentFromASecondRequest) {
  SetZone("UTC0");
  server_->clearRequests();
  IPSVariable variable(IPS_GetVariable(12345));
  EXPECT_EQ(variable.ID(), 12345);
  EXPECT_EQ(variable.Name(), u"K\u00fcche");
  EXPECT_EQ(variable.Parent(), 0);
  EXPECT_EQ(variable.VariableType(), IPSVariableType::vtFloat);
  EXPECT_EQ(variable.ValueBuffer(), u"20");
  EXPECT_DOUBLE_EQ(variable.Changed(), 25569.0 + 1700000000.0 / 86400);
  EXPECT_DOUBLE_EQ(variable.Updated(), 25569.0 + 1700000100.0 / 86400);

  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body,
            R"({"method":"IPS_GetObject","params":[12345],"id":1,"jsonrpc":"2.0"})");

  IPSVariable text(IPS_GetVariable(23456));
  EXPECT_EQ(text.Name(), u"Text");
  EXPECT_EQ(text.Parent(), 12345);
  EXPECT_EQ(text.ValueBuffer(), u"hello");
}

TEST_F(RecordsTest, ValueBufferIsTheValueAsText) {
  struct Case {
    std::function<void()> set;
    std::int32_t id;
    std::u16string expected;
  };
  const Case cases[] = {
      {[] { SetValueBoolean(13579, true); }, 13579, u"true"},
      {[] { SetValueBoolean(13579, false); }, 13579, u"false"},
      {[] { SetValueInteger(24680, -3); }, 24680, u"-3"},
      {[] { SetValueFloat(12345, 21.5); }, 12345, u"21.5"},
      {[] { SetValueFloat(12345, 21.0); }, 12345, u"21"},
      {[] { SetValueFloat(12345, 20.400000000000002); }, 12345, u"20.4"},
      {[] { SetValueString(23456, "say \"hi\" \xe4"); }, 23456, u"say \"hi\" \u00e4"},
  };
  for (const Case& c : cases) {
    c.set();
    EXPECT_EQ(IPSVariable(IPS_GetVariable(c.id)).ValueBuffer(), c.expected);
  }
}

TEST_F(RecordsTest, NamesReadTheSameRawOrEscaped) {
  for (bool escape : {false, true}) {
    server_->setEscapeUnicode(escape);
    EXPECT_EQ(IPSObject(IPS_GetObject(12345)).Name(), u"K\u00fcche") << escape;
    EXPECT_EQ(IPSVariable(IPS_GetVariable(24680)).Name(), u"Z\u00e4hler") << escape;
    EXPECT_EQ(IPSScript(IPS_GetScript(45678)).ScriptFile(), u"45678.ips.php") << escape;
  }
}

TEST_F(RecordsTest, ObjectInstanceScriptAndLinkRecords) {
  IPSObject root(IPS_GetObject(0));
  EXPECT_EQ(root.Name(), u"IP-Symcon");
  EXPECT_EQ(root.Children(), (IPSList{12345, 34567, 45678, 56789, 13579, 24680}));
  EXPECT_TRUE(root.HasChildren());
  EXPECT_EQ(MakeList(IPS_GetChildrenIDs(0)), root.Children());
  EXPECT_EQ(MakeList(IPS_GetObjectList()).size(), 8u);

  IPSObject kitchen(IPS_GetObject(12345));
  EXPECT_EQ(kitchen.ObjectType(), IPSObjectType::otVariable);
  EXPECT_EQ(kitchen.Position(), 2);
  EXPECT_EQ(kitchen.Children(), IPSList{23456});

  IPSInstance instance(IPS_GetInstance(34567));
  EXPECT_EQ(instance.ID(), 34567);
  EXPECT_EQ(instance.Status(), 102);
  EXPECT_EQ(instance.ModuleID(), u"{ABC}");
  EXPECT_EQ(instance.ModulName(), u"Dimmer");
  EXPECT_EQ(instance.ModuleType(), IPSModuleType::mtDevice);

  IPSLink link(IPS_GetLink(56789));
  EXPECT_EQ(link.ID(), 56789);
  EXPECT_EQ(link.Target(), 12345);

  // An error from the object request of a variable record fails the record.
  EXPECT_THROW(IPSVariable(json::ParseJson(uR"({"VariableID":11111})")), Error);
  // No record at all (an unknown ID answers with an error before that).
  EXPECT_THROW(IPSScript(IPS_GetScript(12345)), Error);
}

TEST_F(RecordsTest, TimestampsFollowTheHostZone) {
  struct Case {
    const char* zone;
    double offsetHours;
  };
  for (const Case& c : {Case{"UTC0", 0}, Case{"CET-1", 1}, Case{"NST3:30", -3.5}}) {
    SetZone(c.zone);
    IPSScript script(IPS_GetScript(45678));
    EXPECT_DOUBLE_EQ(script.Executed(), 25569.0 + 1700000000.0 / 86400 + c.offsetHours / 24)
        << c.zone;
    IPSVariable variable(IPS_GetVariable(13579));  // never changed: second 0
    EXPECT_DOUBLE_EQ(variable.Changed(), 25569.0 + c.offsetHours / 24) << c.zone;
  }
}

}  // namespace
}  // namespace velmar::api
