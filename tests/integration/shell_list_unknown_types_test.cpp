// Replies that the simulated server never gives: records whose enumerations hold numbers that
// this program does not know (a newer server: an object type 7, a variable type 9, an
// instance of module type 5), and a setter that answers false. A small canned JSON-RPC
// server answers here.

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "shell_fixture.h"

namespace velmar::testing {
namespace {

using nlohmann::json;

json ObjectRecord(int id, int type, const std::string& name) {
  return json{{"ParentID", 0},
              {"ObjectID", id},
              {"ObjectType", type},
              {"ObjectIdent", ""},
              {"ObjectName", name},
              {"ObjectInfo", ""},
              {"ObjectIcon", ""},
              {"ObjectSummary", ""},
              {"ObjectPosition", 0},
              {"ObjectIsReadOnly", false},
              {"ObjectIsHidden", false},
              {"ObjectIsDisabled", false},
              {"ObjectIsLocked", false},
              {"HasChildren", id == 0},
              {"ChildrenIDs", json::array()}};
}

class CannedServer {
 public:
  CannedServer() {
    server_.Post("/api/", [this](const httplib::Request& request, httplib::Response& response) {
      const json call = json::parse(request.body);
      const std::string method = call["method"];
      const json& params = call["params"];
      {
        std::lock_guard<std::mutex> lock(mutex_);
        methods_.push_back(method);
      }
      json reply{{"jsonrpc", "2.0"}, {"id", call["id"]}};
      reply["result"] = Answer(method, params);
      response.set_content(reply.dump(), "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~CannedServer() {
    server_.stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::vector<std::string> TakeMethods() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(methods_);
  }

 private:
  static json Answer(const std::string& method, const json& params) {
    const int id = params.empty() || !params[0].is_number_integer() ? 0 : params[0].get<int>();
    if (method == "IPS_GetChildrenIDs") return json::array({10001, 10002, 10003});
    if (method == "IPS_GetName") return "IP-Symcon";
    if (method == "IPS_ObjectExists" || method == "IPS_VariableExists") return true;
    if (method == "IPS_GetObject") {
      switch (id) {
        case 10001:
          return ObjectRecord(id, 7, "Future");
        case 10002:
          return ObjectRecord(id, 2, "Odd");
        case 10003:
          return ObjectRecord(id, 1, "Discovery");
        case 10004:
          return ObjectRecord(id, 2, "Refused");
        default:
          return ObjectRecord(0, 0, "IP-Symcon");
      }
    }
    if (method == "IPS_GetVariable") {
      if (id == 10004) return json{{"VariableID", id}, {"VariableType", 0}};
      return json{{"VariableID", id}, {"VariableType", 9}, {"VariableValue", "abc"}};
    }
    if (method == "IPS_GetInstance") {
      return json{{"InstanceID", id}, {"ModuleInfo", {{"ModuleType", 5}, {"ModuleName", "X"}}}};
    }
    return false;  // a setter: the value is not accepted
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> methods_;
};

class UnknownTypesTest : public ShellSocketTest {
 protected:
  void SetUp() override {
    ShellSocketTest::SetUp();
    canned_ = std::make_unique<CannedServer>();
    StartShell(canned_->port());
    canned_->TakeMethods();
  }
  void TearDown() override {
    ShellSocketTest::TearDown();
    canned_.reset();
  }

  std::unique_ptr<CannedServer> canned_;
};

const std::string kGeneral =
    "This command needs to be enhanced. Still a lot of work to do...\r\n\r\n"
    "  Object ID: \t\t{ID}\r\n  Object Name: \t\t{NAME}\r\n  Object Info: \t\t\r\n"
    "  Object Summary: \t\t\r\n  Object has Children: \tFalse\r\n  Object is Hidden: \tFalse\r\n"
    "  Object Ident: \t\t\r\n  Object Icon: \t\t\r\n";

std::string General(const std::string& id, const std::string& name) {
  std::string text = kGeneral;
  text.replace(text.find("{ID}"), 4, id);
  text.replace(text.find("{NAME}"), 6, name);
  return text;
}

TEST_F(UnknownTypesTest, ListingShowsTypeNumberAndUnknownVariableButNoUnknownModule) {
  const std::string heading = "-Showing Object: 0 - IP-Symcon\r\n\r\n";
  const std::string odd = "10002  \x1b[34;1mUnknown\x1b[0m     Odd                abc\r\n";
  EXPECT_EQ(Run("ls").output, heading + "10001  Type 7      Future             \r\n" + odd);
  // An explicit selection names no unknown object type.
  EXPECT_EQ(Run("ls -v -c -core -io -splitter -configurator -device").output, heading + odd);
}

TEST_F(UnknownTypesTest, DetailsShowNoTypeLineForUnknownTypes) {
  EXPECT_EQ(Run("show 10001").output, General("10001", "Future"));
  EXPECT_EQ(Run("show 10002").output, General("10002", "Odd") +
                                          "  Object Typ: \t\t\x1b[34;1mVariable\x1b[0m\r\n"
                                          "    Value: \t\t\tabc\r\n"
                                          "    Last Updated: \t\t30.12.1899\r\n"
                                          "    Last Changed: \t\t30.12.1899\r\n");
}

TEST_F(UnknownTypesTest, SetLeavesAVariableOfUnknownTypeAlone) {
  EXPECT_EQ(Run("set 10002 5").output, "");
  EXPECT_EQ(canned_->TakeMethods(),
            (std::vector<std::string>{"IPS_VariableExists", "IPS_GetVariable", "IPS_GetObject"}));
}

// A setter that answers false has not stored the value; that is reported like a refusal.
TEST_F(UnknownTypesTest, SetterAnsweringFalseIsReported) {
  EXPECT_EQ(Run("set 10004 true").output, "Operation failed.\r\n");
  EXPECT_EQ(canned_->TakeMethods(),
            (std::vector<std::string>{"IPS_VariableExists", "IPS_GetVariable", "IPS_GetObject",
                                      "SetValueBoolean"}));
}

}  // namespace
}  // namespace velmar::testing
