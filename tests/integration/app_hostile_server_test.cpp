// A broken or hostile server against the whole service: texts built to act on the user's
// terminal, a parent chain without end, replies that never come or never end, replies too
// large. Nothing the server chose may reach the terminal as a control character, no session
// may outlive the time limit, and every thread and descriptor comes back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/json_rpc.h"
#include "app_fault_fixture.h"
#include "core/error.h"
#include "support/hostile_server.h"

namespace velmar::app {
namespace {

using namespace std::chrono_literals;
using faults::CountResources;
using faults::Resources;
using faults::Shell;
using testing::HostileHandler;
using testing::HostileReply;
using testing::HostileServer;
using testing::JsonString;

// U+FFFD in UTF-8: what a control character from the server turns into.
const std::string R = "\xEF\xBF\xBD";

std::string ObjectJson(int id, int parent, int type, const std::string& name, bool hasChildren,
                       const std::string& text = "") {
  const std::string t = JsonString(text);
  return "{\"ParentID\":" + std::to_string(parent) + ",\"ObjectID\":" + std::to_string(id) +
         ",\"ObjectType\":" + std::to_string(type) + ",\"ObjectIdent\":" + t +
         ",\"ObjectName\":" + JsonString(name) + ",\"ObjectInfo\":" + t + ",\"ObjectIcon\":" + t +
         ",\"ObjectSummary\":" + t +
         ",\"ObjectPosition\":0,\"ObjectIsReadOnly\":false,\"ObjectIsHidden\":false,"
         "\"ObjectIsDisabled\":false,\"ObjectIsLocked\":false,\"HasChildren\":" +
         (hasChildren ? "true" : "false") + ",\"ChildrenIDs\":[]}";
}

int IdOf(const std::string& params) {
  return params.size() > 2 ? std::stoi(params.substr(1)) : 0;
}

// Answers every call the service makes at start (kernel version) and the existence checks;
// everything else goes to `calls`.
HostileHandler Server(HostileHandler calls) {
  return [calls = std::move(calls)](const std::string& method, const std::string& params) {
    if (method == "IPS_GetKernelVersion") return HostileReply::Result("\"6.4\"");
    if (method == "IPS_GetKernelStartTime") return HostileReply::Result("0");
    if (method == "IPS_ObjectExists" || method == "IPS_ScriptExists")
      return HostileReply::Result("true");
    return calls(method, params);
  };
}

// A home whose every text is `text`: category 10001 named so, a string variable 10002 with it
// as name, info, summary, ident, icon and value, a script 10003 with it as file name and as
// what it prints.
HostileHandler InjectingServer(const std::string& text, const std::string& scriptOutput) {
  return Server([=](const std::string& method, const std::string& params) {
    const int id = IdOf(params);
    if (method == "IPS_GetChildrenIDs")
      return HostileReply::Result(id == 0 ? "[10001,10002,10003]" : "[]");
    if (method == "IPS_GetObjectList") return HostileReply::Result("[0,10001]");
    if (method == "IPS_GetName")
      return HostileReply::Result(JsonString(id == 0 ? "IP-Symcon" : text));
    if (method == "IPS_GetObject") {
      if (id == 10001) return HostileReply::Result(ObjectJson(id, 0, 0, text, true));
      if (id == 10002) return HostileReply::Result(ObjectJson(id, 0, 2, text, false, text));
      if (id == 10003) return HostileReply::Result(ObjectJson(id, 0, 3, "S", false));
      return HostileReply::Result(ObjectJson(0, 0, 0, "IP-Symcon", true));
    }
    if (method == "IPS_GetVariable")
      return HostileReply::Result(
          "{\"VariableID\":10002,\"VariableType\":3,\"VariableValue\":" + JsonString(text) +
          ",\"VariableChanged\":0,\"VariableUpdated\":0}");
    if (method == "IPS_GetScript")
      return HostileReply::Result(
          "{\"ScriptID\":10003,\"ScriptType\":0,\"ScriptFile\":" + JsonString(text) +
          ",\"ScriptExecuted\":0,\"ScriptIsBroken\":false}");
    if (method == "IPS_RunScriptWait") return HostileReply::Result(JsonString(scriptOutput));
    return HostileReply::Raw("HTTP/1.1 500 Unknown\r\nContent-Length: 0\r\n\r\n");
  });
}

// The service (controller, listener, standard shell) against one hostile server.
class HostileServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    api::InitializeRPCModule();
    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    text::gConsoleChars.store(80);
  }

  // Starts the server first (it forks), then counts, then connects the service.
  void Start(HostileHandler handler, api::RequestLimits limits = {}) {
    server_ = std::make_unique<HostileServer>(std::move(handler));
    baseline_ = CountResources();
    api::SetRequestLimits(limits);
    ControllerSettings settings;
    settings.shutdownInterval = 0ms;
    settings.listenAddresses = {"127.0.0.1"};
    controller_ = std::make_unique<Controller>(settings);
    controller_->FormCreate();
    controller_->fields().port = Utf16(std::to_string(server_->port()));
    controller_->fields().telnetPort = u"0";
    const ConnectResult result = controller_->BtnConnectClick();
    ASSERT_EQ(result.outcome, ConnectOutcome::Done) << result.message;
  }

  void TearDown() override {
    if (controller_) controller_->TimerShutdownTimer();
    controller_.reset();
    EXPECT_SETTLES_AT(baseline_);
    server_.reset();
    api::SetRequestLimits({});
  }

  std::uint16_t port() const { return controller_->listener().boundPort(); }

  static std::u16string Utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
  }

  std::unique_ptr<HostileServer> server_;
  std::unique_ptr<Controller> controller_;
  Resources baseline_;
};

// Whether `bytes` holds a control character other than TAB, CR LF pairs and the colour
// sequences the shell writes itself (ESC "[" digits and semicolons "m"), or a C1 character.
std::string FirstStrayControl(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == 0x1b) {
      std::size_t end = i + 1;
      if (end < bytes.size() && bytes[end] == '[') {
        ++end;
        while (end < bytes.size() &&
               (std::isdigit(static_cast<unsigned char>(bytes[end])) || bytes[end] == ';'))
          ++end;
        if (end < bytes.size() && bytes[end] == 'm') {
          i = end;
          continue;
        }
      }
      return "ESC at " + std::to_string(i);
    }
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      ++i;
      continue;
    }
    if ((c < 0x20 && c != '\t') || c == 0x7f)
      return "control " + std::to_string(c) + " at " + std::to_string(i);
    if (c == 0xc2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(bytes[i + 1]) <= 0x9f)
      return "C1 character at " + std::to_string(i);
  }
  return "";
}

struct Injection {
  const char* what;
  std::string text;   // as the server sends it (UTF-8)
  std::string shown;  // what the user sees in its place
};

const std::vector<Injection>& Injections() {
  static const std::vector<Injection> table = {
      {"clipboard write (OSC 52)", "\x1b]52;c;Y3VybCBldmlsfHNo\x07",
       R + "]52;c;Y3VybCBldmlsfHNo" + R},
      {"clear screen", "\x1b[2J", R + "[2J"},
      {"window title (OSC 0)", "\x1b]0;owned\x07", R + "]0;owned" + R},
      {"device control string", "\x1bP+q544e\x1b\\", R + "P+q544e" + R + "\\"},
      {"8-bit CSI query",
       "\xc2\x9b"
       "6n",
       R + "6n"},
      {"cursor position query", "\x1b[6n", R + "[6n"},
      {"device attributes query", "\x1b[c", R + "[c"},
      {"fake line and prompt", "ok\r\n\x1b[36;1mIP-Symcon>", "ok" + R + R + R + "[36;1mIP-Symcon>"},
      {"backspaces over text", "abc\b\b\bxyz", "abc" + R + R + R + "xyz"},
      {"bell, DEL, NUL", std::string("a\x07\x7f\0b", 5), "a" + R + R + R + "b"},
      {"plain text with umlauts",
       "K\xc3\xbc"
       "che",
       "K\xc3\xbc"
       "che"},
  };
  return table;
}

TEST_F(HostileServerTest, NoServerTextActsOnTheTerminal) {
  for (const Injection& row : Injections()) {
    SCOPED_TRACE(row.what);
    Start(InjectingServer(row.text, "---"));
    {
      Shell shell(port());
      // Details: every text field of the record, each on its own line.
      const std::string details = shell.Run("show 10002").output;
      for (const char* label :
           {"  Object Name: \t\t", "  Object Info: \t\t", "  Object Summary: \t\t",
            "  Object Ident: \t\t", "  Object Icon: \t\t"}) {
        EXPECT_NE(details.find("\r\n" + std::string(label) + row.shown + "\r\n"), std::string::npos)
            << label << details;
      }
      EXPECT_NE(details.find("\r\n    Value: \t\t\t\"" + row.shown + "\"\r\n"), std::string::npos)
          << details;
      EXPECT_EQ(FirstStrayControl(details), "") << details;
      EXPECT_NE(shell.Run("show 10003").output.find("\r\n    File: \t\t\t" + row.shown + "\r\n"),
                std::string::npos);

      // Listing: the heading's name, the values, the summary and the script file.
      const std::string listing = shell.Run("ls -v -s").output;
      EXPECT_NE(listing.find(" \"" + row.shown + "\"\r\n"), std::string::npos) << listing;
      EXPECT_NE(listing.find(" " + row.shown + "\r\n"), std::string::npos) << listing;
      EXPECT_EQ(FirstStrayControl(listing), "") << listing;

      // Find: the progress line of the object with that name.
      const std::string found = shell.Run("find nothing-like-it").output;
      EXPECT_NE(found.find("\b\b\r10001\t" + row.shown + " "), std::string::npos) << found;

      // The prompt, after every command from now on.
      const auto entered = shell.Run("cd 10001");
      EXPECT_EQ(entered.output, "");
      EXPECT_EQ(entered.prompt, "IP-Symcon\\" + row.shown);
      EXPECT_EQ(shell.Run("uptime").prompt, "IP-Symcon\\" + row.shown);
    }
    TearDown();
    SetUp();
  }
}

TEST_F(HostileServerTest, ScriptOutputKeepsItsLinesAndTabsAndNothingElse) {
  struct Case {
    const char* what;
    std::string printed;
    std::string shown;
  };
  const Case cases[] = {
      {"line breaks and tabs", "a\tb<br>c<BR/>d", "a\tb\r\nc\r\nd"},
      {"escape sequences between lines", "one<br>x\x1b[2J\x1b]52;c;eA==\x07two",
       "one\r\nx" + R + "[2J" + R + "]52;c;eA==" + R + "two"},
      {"raw CR and LF cannot fake a line", "ok\rIP-Symcon>\n\x08x", "okIP-Symcon>" + R + "x"},
      {"an escape written as an HTML entity", "a&#27;[31mred", "a [31mred"},
      {"8-bit CSI",
       "x\xc2\x9b"
       "c",
       "x" + R + "c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(InjectingServer("S", c.printed));
    {
      Shell shell(port());
      // The text ends with a line break of its own before the shell's.
      EXPECT_EQ(shell.Run("run 10003 -w").output, "---\r\n" + c.shown + "\r\n\r\n");
    }
    TearDown();
    SetUp();
  }
}

// Object n reports n + 1 as its parent, for ever.
HostileHandler EndlessParents() {
  return Server([](const std::string& method, const std::string& params) {
    const int id = IdOf(params);
    if (method == "IPS_GetObject")
      return HostileReply::Result(ObjectJson(id, id + 1, 0, "level", true));
    return HostileReply::Raw("HTTP/1.1 500 Unknown\r\nContent-Length: 0\r\n\r\n");
  });
}

// A legal tree: object 10000 + k is k levels below the root.
HostileHandler DeepTree() {
  return Server([](const std::string& method, const std::string& params) {
    const int id = IdOf(params);
    if (method == "IPS_GetObject") {
      if (id == 0) return HostileReply::Result(ObjectJson(0, 0, 0, "IP-Symcon", true));
      return HostileReply::Result(
          ObjectJson(id, id == 10001 ? 0 : id - 1, 0, std::to_string(id), true));
    }
    return HostileReply::Raw("HTTP/1.1 500 Unknown\r\nContent-Length: 0\r\n\r\n");
  });
}

TEST_F(HostileServerTest, EndlessParentChainEndsTheCommandLikeACircle) {
  Start(EndlessParents());
  Shell shell(port());
  // The walk stops after 1000 levels and the command ends the connection, as a circle does.
  EXPECT_EQ(shell.RunUntilClosed("cd 20000"), "");
}

TEST_F(HostileServerTest, TreeOneThousandLevelsDeepIsStillEntered) {
  Start(DeepTree());
  Shell shell(port());
  const auto deepest = shell.Run("cd 11000");
  EXPECT_EQ(deepest.output, "");
  EXPECT_EQ(deepest.prompt.substr(0, 22), "IP-Symcon\\10001\\10002\\");
  EXPECT_EQ(deepest.prompt.substr(deepest.prompt.size() - 11), "10999\\11000");
  // One level more is taken for a broken server.
  EXPECT_EQ(shell.RunUntilClosed("cd 11001"), "");
}

// A server that takes every connection and then keeps the reply to itself in one of three
// ways; the service's calls are limited to one second.
TEST_F(HostileServerTest, ServerThatNeverFinishesAReplyReleasesTheSessionAfterTheLimit) {
  for (const auto kind : {HostileReply::Kind::Silent, HostileReply::Kind::EndlessContinue,
                          HostileReply::Kind::EndlessTrailers}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Start(Server([kind](const std::string&, const std::string&) { return HostileReply::Of(kind); }),
          {.timeoutSeconds = 1});
    {
      // Clients that send a command and leave at once, and one that waits: each session ends
      // once its call has failed, like any other failed call.
      std::vector<std::unique_ptr<Shell>> leaving;
      for (int i = 0; i < 10; ++i) {
        leaving.push_back(std::make_unique<Shell>(port()));
        leaving.back()->client().send("ls\r\n");
      }
      leaving.clear();
      Shell waiting(port());
      EXPECT_EQ(waiting.RunUntilClosed("ls"), "");
    }
    // Every connection thread and every socket is gone again (checked by TearDown).
    TearDown();
    SetUp();
  }
}

// The transports on their own: the message of the time limit and of the size limit, for the
// plain transport (numeric address) and for curl (a host name).
class TransportLimitsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { api::InitializeRPCModule(); }
  void TearDown() override {
    api::SetRequestLimits({});
    api::FinalizeRPCModule();
  }

  std::string Call(HostileServer& server, const api::RequestLimits& limits) {
    api::SetRequestLimits(limits);
    api::InitializeRPC(GetParam(), server.port(), false, "", "");
    try {
      api::MakeRPCRequest("IPS_GetKernelVersion", {});
    } catch (const Error& e) {
      return e.what();
    }
    return "no failure";
  }
};

TEST_P(TransportLimitsTest, ReplyThatDoesNotCompleteInTimeFailsWithTheConfiguredNumber) {
  for (const auto kind : {HostileReply::Kind::Silent, HostileReply::Kind::EndlessContinue,
                          HostileReply::Kind::EndlessTrailers}) {
    SCOPED_TRACE(static_cast<int>(kind));
    HostileServer server(
        [kind](const std::string&, const std::string&) { return HostileReply::Of(kind); });
    const std::string message = Call(server, {.timeoutSeconds = 1});
    // curl also stops endless interim heads or trailers at its own size limit for headers,
    // whichever limit comes first.
    if (kind != HostileReply::Kind::Silent && GetParam() == std::string("localhost") &&
        message.starts_with("Too large response headers"))
      continue;
    EXPECT_EQ(message, "The server did not answer within 1 second.");
  }
  HostileServer silent([](const std::string&, const std::string&) {
    return HostileReply::Of(HostileReply::Kind::Silent);
  });
  EXPECT_EQ(Call(silent, {.timeoutSeconds = 2}), "The server did not answer within 2 seconds.");
}

TEST_P(TransportLimitsTest, ConnectThatNeverCompletesGivesUpAtTheLimit) {
  // A listening socket whose backlog is full and which never accepts: the kernel drops further
  // connection attempts, so connecting waits until the client gives up.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> filling;
  for (int i = 0; i < 2; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    filling.push_back(fd);
  }
  api::SetRequestLimits({.timeoutSeconds = 1});
  api::InitializeRPC(GetParam(), ntohs(address.sin_port), false, "", "");
  std::string message = "no failure";
  try {
    api::MakeRPCRequest("IPS_GetKernelVersion", {});
  } catch (const Error& e) {
    message = e.what();
  }
  // The request's limit is shorter than the connect limit, so it is the one that ran out.
  EXPECT_EQ(message, "The server did not answer within 1 second.");
  for (const int fd : filling) ::close(fd);
  ::close(listener);
}

TEST_P(TransportLimitsTest, ReplyOverTheSizeLimitFailsAndOneAtTheLimitPasses) {
  // {"jsonrpc":"2.0","result":"…","id":1} around a string of n bytes is n + 37 bytes long.
  const std::size_t limit = api::kMebibyte;
  for (const bool chunked : {false, true}) {
    SCOPED_TRACE(chunked);
    HostileServer server([&](const std::string&, const std::string&) {
      const std::string body =
          "{\"jsonrpc\":\"2.0\",\"result\":\"" + std::string(limit + 1, 'x') + "\",\"id\":1}";
      if (!chunked) return HostileReply::Result("\"" + std::string(limit + 1, 'x') + "\"");
      char size[32];
      std::snprintf(size, sizeof size, "%zx", body.size());
      return HostileReply::Raw(
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
          std::string(size) + "\r\n" + body + "\r\n0\r\n\r\n");
    });
    EXPECT_EQ(Call(server, {.maxReplyBytes = limit}), "The server's reply is larger than 1 MiB.");
  }
  HostileServer fits([&](const std::string&, const std::string&) {
    return HostileReply::Result("\"" + std::string(limit - 37, 'x') + "\"");
  });
  api::SetRequestLimits({.maxReplyBytes = limit});
  api::InitializeRPC(GetParam(), fits.port(), false, "", "");
  EXPECT_EQ(api::MakeRPCRequest("IPS_GetKernelVersion", {}).AsString().size(), limit - 37);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, TransportLimitsTest,
                         ::testing::Values("127.0.0.1", "localhost"), [](const auto& param) {
                           return std::string(param.index == 0 ? "Plain" : "Curl");
                         });

TEST(ConsoleWidthLimit, WidthAboveOneThousandIsRefusedAndTheOldWidthStays) {
  api::InitializeRPCModule();
  HostileServer server(
      Server([](const std::string&, const std::string&) { return HostileReply::Result("[]"); }));
  text::gConsoleChars.store(80);
  for (const char16_t* width : {u"1001", u"2147483647"}) {
    ControllerSettings settings;
    settings.shutdownInterval = 0ms;
    settings.listenAddresses = {"127.0.0.1"};
    Controller controller(settings);
    controller.FormCreate();
    const std::string serverPort = std::to_string(server.port());
    controller.fields().port = std::u16string(serverPort.begin(), serverPort.end());
    controller.fields().telnetPort = u"0";
    controller.fields().consoleChars = width;
    const ConnectResult result = controller.BtnConnectClick();
    EXPECT_EQ(result.outcome, ConnectOutcome::ConsoleCharsInvalid);
    EXPECT_NE(result.message.find("at most 1000"), std::string::npos) << result.message;
    EXPECT_EQ(text::gConsoleChars.load(), 80);
  }
}

}  // namespace
}  // namespace velmar::app
