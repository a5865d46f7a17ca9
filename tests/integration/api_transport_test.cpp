#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/json_rpc.h"
#include "api/server_calls.h"
#include "api_fixture.h"
#include "api_raw_peer.h"
#include "core/error.h"
#include "json/json.h"

namespace velmar::api {
namespace {

using ::testing::HasSubstr;
using velmar::testing::ApiServerTest;
using velmar::testing::RawHttpPeer;

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "(no error)";
}

// Runs `call` on a thread of its own and returns its error text.
std::string ErrorOnOtherThread(const std::function<void()>& call) {
  std::string message;
  std::thread thread([&] { message = ErrorOf(call); });
  thread.join();
  return message;
}

using TransportTest = ApiServerTest;

TEST_F(TransportTest, RequestBodiesAreExactBytes) {
  struct Case {
    std::function<void()> call;
    std::string body;
  };
  const Case cases[] = {
      {[] { IPS_GetObject(12345); },
       R"({"method":"IPS_GetObject","params":[12345],"id":1,"jsonrpc":"2.0"})"},
      {[] {
         EXPECT_EQ(IPS_GetObjectIDByName("K\xfc"
                                         "che",
                                         0),
                   12345);
       },
       R"({"method":"IPS_GetObjectIDByName","params":["K\u00fcche",0],"id":1,"jsonrpc":"2.0"})"},
      {[] { EXPECT_TRUE(SetValueString(23456, "a/b\"c\\")); },
       R"({"method":"SetValueString","params":[23456,"a\/b\"c\\"],"id":1,"jsonrpc":"2.0"})"},
      {[] { EXPECT_TRUE(SetValueFloat(12345, 21.5)); },
       R"({"method":"SetValueFloat","params":[12345,21.5],"id":1,"jsonrpc":"2.0"})"},
      {[] { SetValueBoolean(12345, true); },
       R"({"method":"SetValueBoolean","params":[12345,true],"id":1,"jsonrpc":"2.0"})"},
      {[] { IPS_GetChildrenIDs(0); },
       R"({"method":"IPS_GetChildrenIDs","params":[0],"id":1,"jsonrpc":"2.0"})"},
      {[] { IPS_GetKernelVersion(); },
       R"({"method":"IPS_GetKernelVersion","params":[],"id":1,"jsonrpc":"2.0"})"},
      {[] { IPS_GetObjectList(); },
       R"({"method":"IPS_GetObjectList","params":[],"id":1,"jsonrpc":"2.0"})"},
      {[] {
         MakeRPCRequest("IPS_GetName", {std::int32_t{-7}, false, 0.0005, "\t\x80"});
       },
       R"({"method":"IPS_GetName","params":[-7,false,0.0005,"\t\u20ac"],"id":1,"jsonrpc":"2.0"})"},
  };
  for (const Case& c : cases) {
    try {
      c.call();
    } catch (const Error&) {
      // Only the bytes sent matter here.
    }
    EXPECT_EQ(LastBody(), c.body);
  }
  EXPECT_EQ(server_->variableValueJson(12345), "21.5");
  EXPECT_EQ(server_->variableValueJson(23456), "\"a/b\\\"c\\\\\"");
}

// Text that no code page holds goes out escaped like any other non-ASCII text, with a
// surrogate pair for a character above U+FFFF; text that Windows-1252 holds gives the same
// bytes whether it is handed over as Unicode or as code-page bytes.
TEST_F(TransportTest, UnicodeTextReachesTheServerWhole) {
  EXPECT_EQ(IPS_GetObjectIDByName(u"K\u00fcche", 0), 12345);
  EXPECT_EQ(
      LastBody(),
      R"({"method":"IPS_GetObjectIDByName","params":["K\u00fcche",0],"id":1,"jsonrpc":"2.0"})");
  EXPECT_TRUE(SetValueString(23456, u"\u0141\u00f3d\u017a \U0001F600 \u0402 \u03a9 \u20ac"));
  EXPECT_EQ(
      LastBody(),
      R"({"method":"SetValueString","params":[23456,"\u0141\u00f3d\u017a \ud83d\ude00 \u0402 \u03a9 \u20ac"],"id":1,"jsonrpc":"2.0"})");
  EXPECT_EQ(server_->variableValueJson(23456),
            "\"\xC5\x81\xC3\xB3"
            "d\xC5\xBA \xF0\x9F\x98\x80 \xD0\x82 \xCE\xA9 \xE2\x82\xAC\"");
  try {
    IPS_GetVariableIDByName(u"\u041a\u0443\u0445\u043d\u044f", 0);
  } catch (const Error&) {
    // Only the bytes sent matter here.
  }
  EXPECT_EQ(
      LastBody(),
      R"({"method":"IPS_GetVariableIDByName","params":["\u041a\u0443\u0445\u043d\u044f",0],"id":1,"jsonrpc":"2.0"})");
}

TEST_F(TransportTest, HeadersAreExactlyTheAllowedOnes) {
  IPS_GetKernelVersion();
  auto request = server_->requests().back();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/api/");
  EXPECT_EQ(LastHeader("Content-Type"), "application/json");
  EXPECT_EQ(LastHeader("Connection"), "keep-alive");
  EXPECT_EQ(LastHeader("Host"), "127.0.0.1:" + std::to_string(server_->port()));
  EXPECT_EQ(LastHeader("Content-Length"), "68");

  // A body far beyond curl's 1 KiB threshold still goes out without Expect: 100-continue.
  std::string big(100000, 'x');
  EXPECT_TRUE(SetValueString(23456, big));
  EXPECT_EQ(LastHeader("Expect"), std::nullopt);
  EXPECT_EQ(server_->variableValueJson(23456), "\"" + big + "\"");
}

TEST(TransportWire, RequestBytesAsSent) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  RawHttpPeer peer;
  InitializeRPC("127.0.0.1", peer.port(), false, "user", "secret");
  MakeRPCRequest("IPS_GetObject", {12345});
  const std::string body = R"({"method":"IPS_GetObject","params":[12345],"id":1,"jsonrpc":"2.0"})";
  ASSERT_EQ(peer.Requests().size(), 1u);
  EXPECT_EQ(peer.Requests()[0],
            "POST /api/ HTTP/1.1\r\n"
            "Host: 127.0.0.1:" +
                std::to_string(peer.port()) +
                "\r\n"
                "User-Agent: Velmar\r\n"
                "Accept: */*\r\n"
                "Content-Type: application/json\r\n"
                "Connection: keep-alive\r\n"
                "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n"
                "Content-Length: 66\r\n"
                "\r\n" +
                body);
}

// Host names go through the general client, numeric addresses through the lean path: both
// must put the same bytes on the wire.
TEST(TransportWire, BothTransportsSendTheSameBytes) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  RawHttpPeer peer;
  std::string big(5000, 'x');
  for (const char* host : {"127.0.0.1", "localhost"}) {
    InitializeRPC(host, peer.port(), false, "user", "secret");
    MakeRPCRequest("IPS_GetName", {"a/b"});
    MakeRPCRequest("SetValueString", {1, big});
  }
  auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 4u);
  const std::string port = ":" + std::to_string(peer.port());
  for (std::size_t i = 0; i < 2; ++i) {
    std::string numeric = requests[i];
    std::string named = requests[i + 2];
    numeric.replace(numeric.find("127.0.0.1" + port), 9, "localhost");
    EXPECT_EQ(numeric, named);
  }
}

TEST_F(TransportTest, BasicCredentialsOnlyWithUserAndPassword) {
  struct Case {
    std::string username, password;
    std::optional<std::string> authorization;
  };
  const Case cases[] = {
      {"", "", std::nullopt},
      {"user", "", std::nullopt},
      {"", "secret", std::nullopt},
      {"user", "secret", "Basic dXNlcjpzZWNyZXQ="},          // user:secret
      {"us\xe9r", "p\xe4ss\x80", "Basic dXM/cjpwP3NzPw=="},  // us?r:p?ss?
      {"a@b.example", "x:y", "Basic YUBiLmV4YW1wbGU6eDp5"},  // a@b.example:x:y
  };
  for (const Case& c : cases) {
    FinalizeRPCForThread();
    InitializeRPCForThread();
    Connect(c.username, c.password);
    for (int i = 0; i < 2; ++i) {
      IPS_GetKernelVersion();
      EXPECT_EQ(LastHeader("Authorization"), c.authorization) << c.username << ":" << c.password;
    }
  }
}

TEST_F(TransportTest, CredentialsOnceSentAreSentOnEveryLaterRequest) {
  Connect("user", "secret");
  IPS_GetKernelVersion();
  Connect("user", "");
  IPS_GetKernelVersion();
  EXPECT_EQ(LastHeader("Authorization"), "Basic dXNlcjo=");  // user:
  Connect("", "");
  IPS_GetKernelVersion();
  EXPECT_EQ(LastHeader("Authorization"), "Basic Og==");  // :

  // Another thread's client has no such state.
  std::optional<std::string> otherThread = "unset";
  std::thread([&] {
    InitializeRPCForThread();
    IPS_GetKernelVersion();
    otherThread = LastHeader("Authorization");
    FinalizeRPCForThread();
  }).join();
  EXPECT_EQ(otherThread, std::nullopt);
}

TEST_F(TransportTest, ServerThatRequiresCredentials) {
  server_->setCredentials("user", "secret");
  EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }), "HTTP/1.1 401 Unauthorized");
  Connect("user", "wrong");
  EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }), "HTTP/1.1 401 Unauthorized");
  Connect("user", "secret");
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
}

TEST_F(TransportTest, PlainRequestsUseANewConnectionEachOnlyWithoutReuse) {
  for (bool reuse : {false, true}) {
    SetConnectionUse({.reuse = reuse});
    FinalizeRPCForThread();
    InitializeRPCForThread();
    std::size_t before = server_->connectionsAccepted();
    for (int i = 0; i < 3; ++i) IPS_ObjectExists(12345);
    EXPECT_EQ(server_->connectionsAccepted(), before + (reuse ? 1 : 3)) << reuse;
  }
}

TEST(TransportConnections, PreviousConnectionClosesWhenTheNextRequestStarts) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  // Without reuse; with it the connection stays for the next request (see
  // api_keep_alive_test.cpp).
  SetConnectionUse({.reuse = false});
  RawHttpPeer peer;
  InitializeRPC("127.0.0.1", peer.port(), false, "", "");

  EXPECT_TRUE(MakeRPCRequest("A", {}).AsBoolean());
  ASSERT_EQ(peer.Connections(), 1u);
  EXPECT_TRUE(peer.OpenNow(0));  // held open between requests

  EXPECT_TRUE(MakeRPCRequest("B", {}).AsBoolean());
  ASSERT_EQ(peer.Connections(), 2u);
  EXPECT_TRUE(peer.ClosedByClient(0));
  EXPECT_TRUE(peer.OpenNow(1));

  FinalizeRPCForThread();
  EXPECT_TRUE(peer.ClosedByClient(1));
  InitializeRPCForThread();
  SetConnectionUse({});
}

TEST_F(TransportTest, StateChecksComeInOrder) {
  // Not initialised comes before the thread check, also on a thread that has a client.
  FinalizeRPCModule();
  InitializeRPCForThread();
  EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }), "JSON-RPC is not initialized yet.");
  EXPECT_EQ(ErrorOnOtherThread([] { IPS_GetKernelVersion(); }), "JSON-RPC is not initialized yet.");
  std::size_t before = server_->requests().size();

  Connect();
  EXPECT_EQ(ErrorOnOtherThread([] { IPS_GetKernelVersion(); }),
            "JSON-RPC is not initialized for this thread yet.");
  FinalizeRPCForThread();
  FinalizeRPCForThread();  // nothing to release the second time
  EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }),
            "JSON-RPC is not initialized for this thread yet.");
  EXPECT_EQ(server_->requests().size(), before);  // nothing was sent

  InitializeRPCForThread();
  EXPECT_EQ(ErrorOf([] { InitializeRPCForThread(); }),
            "Cannot Initialize RPC twice for one thread!");
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");  // the first client is still in place
}

TEST_F(TransportTest, InitializeRPCOnlyOnTheMainThread) {
  EXPECT_EQ(ErrorOnOtherThread([] { InitializeRPC("10.0.0.1", 1, false, "u", "p"); }),
            "Initialize RPC can only be called from main loop!");
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");  // the settings were left alone
  EXPECT_EQ(LastHeader("Authorization"), std::nullopt);
}

TEST_F(TransportTest, ConnectionThreadsHaveTheirOwnClients) {
  std::vector<std::thread> threads;
  std::atomic<int> successes{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      InitializeRPCForThread();
      for (int i = 0; i < 5; ++i)
        if (IPS_GetName(12345) ==
            "K\xc3\xbc"
            "che")
          ++successes;
      FinalizeRPCForThread();
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes.load(), 20);
}

TEST_F(TransportTest, SettingsStoredAgainWhileRequestsRun) {
  // A second "Connect" while connection threads talk to the server: every request sees one
  // whole set of settings, never a half-written one.
  std::atomic<int> running{4};
  std::atomic<int> successes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      InitializeRPCForThread();
      for (int i = 0; i < 10; ++i)
        if (IPS_GetKernelVersion() == "6.4") ++successes;
      FinalizeRPCForThread();
      --running;
    });
  for (int i = 0; running.load() > 0 && i < 1000000; ++i)
    InitializeRPC("127.0.0.1", server_->port(), false, i % 2 ? "user" : "", "");
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes.load(), 40);
}

TEST_F(TransportTest, HttpFailuresAndTheClientRecovers) {
  struct Case {
    sim::Fault fault;
    std::string message;
  };
  const Case cases[] = {
      {{sim::FaultKind::HttpStatus, 500}, "HTTP/1.1 500 Internal Server Error"},
      {{sim::FaultKind::HttpStatus, 404}, "HTTP/1.1 404 Not Found"},
      {{sim::FaultKind::HttpStatus, 401}, "HTTP/1.1 401 Unauthorized"},
      {{sim::FaultKind::EmptyBody}, "The server sent an empty reply."},
      {{sim::FaultKind::NonJsonBody}, "The server's reply is not a JSON-RPC object."},
      {{sim::FaultKind::ErrorReply, 0, "Object #1 does not exist"}, "Object #1 does not exist"},
  };
  for (const Case& c : cases) {
    server_->setFault("IPS_GetKernelVersion", c.fault);
    EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }), c.message);
    server_->clearFaults();
    EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
  }

  server_->setFault("", {sim::FaultKind::DropConnection});
  EXPECT_NE(ErrorOf([] { IPS_GetKernelVersion(); }), "(no error)");
  server_->clearFaults();
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
}

TEST_F(TransportTest, ServerErrorsReadAsTheServerMeantThem) {
  EXPECT_EQ(ErrorOf([] { IPS_GetObjectIDByName("Bad\xe4", 0); }),
            "Object with name Bad\xc3\xa4 could not be found");
  server_->setEscapeUnicode(true);
  EXPECT_EQ(ErrorOf([] { IPS_GetObjectIDByName("Bad\xe4", 0); }),
            "Object with name Bad\xc3\xa4 could not be found");
}

TEST_F(TransportTest, ConnectionRefusedIsCurlsOwnError) {
  int closedPort;
  {
    RawHttpPeer peer;
    closedPort = peer.port();
  }
  InitializeRPC("127.0.0.1", closedPort, false, "", "");
  std::string message = ErrorOf([] { IPS_GetKernelVersion(); });
  EXPECT_THAT(message, HasSubstr(std::to_string(closedPort)));
  EXPECT_THAT(message, HasSubstr("onnect"));
  Connect();
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
}

TEST_F(TransportTest, HostsThatWouldChangeTheUrlAreRefused) {
  for (const char* host : {"evil.example/x?", "user@host", "a b", "host#frag"}) {
    InitializeRPC(host, server_->port(), false, "", "");
    EXPECT_THAT(ErrorOf([] { IPS_GetKernelVersion(); }), HasSubstr("Invalid server host name"));
  }
  InitializeRPC("", server_->port(), false, "", "");
  EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }), "No server host name given.");
  EXPECT_TRUE(server_->requests().empty());
}

TEST(TransportReplies, ResultErrorAndNeither) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  RawHttpPeer peer;
  InitializeRPC("127.0.0.1", peer.port(), false, "", "");

  peer.SetBody(R"({"jsonrpc":"2.0","result":1,"error":{"code":-1,"message":"both"},"id":1})");
  EXPECT_EQ(ErrorOf([] { MakeRPCRequest("M", {}); }), "both");
  peer.SetBody(R"({"error":{"code":-1}})");
  EXPECT_EQ(ErrorOf([] { MakeRPCRequest("M", {}); }),
            "The server reported an error without a message.");
  peer.SetBody(R"({"error":{"message":42}})");
  EXPECT_EQ(ErrorOf([] { MakeRPCRequest("M", {}); }), "42");

  peer.SetBody(R"({"jsonrpc":"2.0","id":1})");
  EXPECT_FALSE(MakeRPCRequest("M", {}).HasValue());
  peer.SetBody(R"({"jsonrpc":"2.0","result":null,"id":1})");
  JsonRef null = MakeRPCRequest("M", {});
  ASSERT_TRUE(null.HasValue());
  EXPECT_TRUE(null.IsNull());

  for (const char* body : {"[1,2]", "\"text\"", "<html>oops</html>", "{\"result\":"}) {
    peer.SetBody(body);
    EXPECT_EQ(ErrorOf([] { MakeRPCRequest("M", {}); }),
              "The server's reply is not a JSON-RPC object.")
        << body;
  }

  peer.SetRawReply(
      "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/api/\r\n"
      "Content-Length: 0\r\n\r\n");
  EXPECT_THAT(ErrorOf([] { MakeRPCRequest("M", {}); }), HasSubstr("HTTP/1.1 302 Found"));

  // A chunked reply is read whole.
  peer.SetRawReply(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\n{\"res\r\nb\r\nult\":\"ok\"}\r\n0\r\n\r\n");
  EXPECT_EQ(MakeRPCRequest("M", {}).AsString(), u"ok");
  std::size_t requestsBefore = peer.Requests().size();
  EXPECT_EQ(requestsBefore, 11u);  // every call above reached the peer once

  peer.SetBody(R"({"result":"K\u00fcche \u20ac"})");
  EXPECT_EQ(IPS_GetName(1),
            "K\xfc"
            "che \x80");
  peer.SetBody(
      "{\"result\":\"K\xc3\xbc"
      "che\"}");
  EXPECT_EQ(IPS_GetName(1),
            "K\xc3\xbc"
            "che");  // the bytes as they came
}

// A reply is read as it arrives, on both transports: in the pieces its chunks make (ending
// inside names, strings, escapes and numbers) or a socket hands over, it reads as it does whole.
// The body of a reply with a failed status is not read.
TEST(TransportReplies, RepliesReadAsTheyArriveOnBothTransports) {
  InitializeRPCModule();
  FinalizeRPCForThread();
  InitializeRPCForThread();
  RawHttpPeer peer;
  std::string text;
  for (int i = 0; i < 60000; ++i) text += i % 100 == 0 ? "\\u00e4" : i % 77 == 0 ? "\\n" : "x";
  const std::string body =
      R"({"jsonrpc":"2.0","result":{"ObjectName":"K\u00fcche","ChildrenIDs":[12345,-23456],)"
      R"("Value":21.5,"Ratio":0.333333333333333,"Text":")" +
      text + R"("},"id":1})";
  const std::u16string expected = json::ParseJsonCodePage(body).Get(u"result").AsJson();
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (std::size_t at = 0, size = 1; at < body.size(); at += size, size = size % 7 + 1) {
    const std::string piece = body.substr(at, size);
    chunked += std::to_string(piece.size()) + "\r\n" + piece + "\r\n";
  }
  chunked += "0\r\n\r\n";

  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    InitializeRPC(host, peer.port(), false, "", "");
    peer.SetRawReply(chunked);
    EXPECT_EQ(MakeRPCRequest("IPS_GetObject", {1}).AsJson(), expected);
    peer.SetBody(body);
    EXPECT_EQ(MakeRPCRequest("IPS_GetObject", {1}).AsJson(), expected);
    peer.SetBody(body, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(ErrorOf([] { MakeRPCRequest("IPS_GetObject", {1}); }),
              "HTTP/1.1 500 Internal Server Error");
    peer.SetBody("");
    EXPECT_EQ(ErrorOf([] { MakeRPCRequest("IPS_GetObject", {1}); }),
              "The server sent an empty reply.");
  }
}

// The loopback TCP sockets of the host as its tables show them (IPv4 and IPv6): ports, state
// and the bytes queued each way. Lets a test see where a transfer stands without waiting.
struct TcpSocket {
  unsigned localPort = 0;
  unsigned remotePort = 0;
  int state = 0;  // 1 established, 2 SYN sent, 10 listening, ...
  long sendQueue = 0;
  long receiveQueue = 0;
};

std::vector<TcpSocket> TcpSockets() {
  std::vector<TcpSocket> sockets;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues;
      if (!(fields >> slot >> local >> remote >> state >> queues)) continue;
      auto port = [](const std::string& address) {
        return static_cast<unsigned>(
            std::stoul(address.substr(address.rfind(':') + 1), nullptr, 16));
      };
      const std::size_t colon = queues.find(':');
      sockets.push_back({port(local), port(remote), std::stoi(state, nullptr, 16),
                         std::stol(queues.substr(0, colon), nullptr, 16),
                         std::stol(queues.substr(colon + 1), nullptr, 16)});
    }
  }
  return sockets;
}

// Runs `done` until it holds or 10 seconds pass; its last result.
bool PollUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // polling interval, not a wait
  }
  return true;
}

// Whether everything the peer on `port` has sent has been read by the client: nothing left in
// the peer's queue, nothing unread in the client's.
bool ClientHasReadEverything(int port) {
  constexpr int kListening = 10;
  for (const TcpSocket& socket : TcpSockets()) {
    if (socket.state == kListening) continue;
    if (socket.localPort == static_cast<unsigned>(port) && socket.sendQueue != 0) return false;
    if (socket.remotePort == static_cast<unsigned>(port) && socket.receiveQueue != 0) return false;
  }
  return true;
}

// Sockets of the host that wait for the handshake of `port` (SYN sent).
std::size_t ConnectsPendingTo(int port) {
  std::size_t count = 0;
  for (const TcpSocket& socket : TcpSockets()) {
    if (socket.remotePort == static_cast<unsigned>(port) && socket.state == 2) ++count;
  }
  return count;
}

TEST(TransportAbort, ASilentServerIsAbortedFromAnotherThread) {
  InitializeRPCModule();
  RawHttpPeer peer;
  peer.SetSilent();
  InitializeRPC("127.0.0.1", peer.port(), false, "", "");

  auto pending = std::async(std::launch::async, [] {
    InitializeRPCForThread();
    std::string message = ErrorOf([] { IPS_GetKernelVersion(); });
    FinalizeRPCForThread();
    return message;
  });
  ASSERT_TRUE(peer.WaitForConnections(1, std::chrono::seconds(10)));
  AbortAllTransfers();
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(pending.get(), "Request aborted.");

  // Until transfers resume, a new request fails at once without connecting.
  std::size_t connections = peer.Connections();
  EXPECT_EQ(ErrorOf([] { IPS_GetKernelVersion(); }), "Request aborted.");
  EXPECT_EQ(peer.Connections(), connections);
  ResumeTransfers();

  peer.SetBody(R"({"result":"6.4"})");
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
}

TEST(TransportAbort, AReplyCutShortByTheAbortIsNotTakenAsWhole) {
  InitializeRPCModule();
  RawHttpPeer peer;
  // No length: the body would end with the connection, which the peer keeps open.
  peer.SetRawReply("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"result\":\"6.4\"}");
  for (const char* host : {"127.0.0.1", "localhost"}) {
    InitializeRPC(host, peer.port(), false, "", "");
    const std::size_t before = peer.Answers();
    auto pending = std::async(std::launch::async, [] {
      InitializeRPCForThread();
      std::string message = ErrorOf([] { IPS_GetKernelVersion(); });
      FinalizeRPCForThread();
      return message;
    });
    // The client has the start of the reply and waits for the rest, which never comes.
    ASSERT_TRUE(peer.WaitForAnswers(before + 1, std::chrono::seconds(10))) << host;
    ASSERT_TRUE(PollUntil([&] { return ClientHasReadEverything(peer.port()); })) << host;
    AbortAllTransfers();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready) << host;
    EXPECT_EQ(pending.get(), "Request aborted.") << host;
    ResumeTransfers();
  }
}

// A listener whose accept queue is full: connecting to it hangs in the handshake.
class UnansweredListener {
 public:
  UnansweredListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 3; ++i) {
      int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(filler);
    }
  }
  ~UnansweredListener() {
    for (int fd : fillers_) ::close(fd);
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST(TransportAbort, AConnectThatHangsIsAbortedOnBothTransports) {
  InitializeRPCModule();
  UnansweredListener listener;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    InitializeRPC(host, listener.port(), false, "", "");
    const std::size_t fillersPending = ConnectsPendingTo(listener.port());
    auto pending = std::async(std::launch::async, [] {
      InitializeRPCForThread();
      std::string message = ErrorOf([] { IPS_GetKernelVersion(); });
      FinalizeRPCForThread();
      return message;
    });
    // The client's connect waits for a handshake that never comes.
    ASSERT_TRUE(PollUntil([&] { return ConnectsPendingTo(listener.port()) > fillersPending; }))
        << host;
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << host;
    auto aborted = std::chrono::steady_clock::now();
    AbortAllTransfers();
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready) << host;
    EXPECT_LT(std::chrono::steady_clock::now() - aborted, std::chrono::seconds(1)) << host;
    EXPECT_EQ(pending.get(), "Request aborted.") << host;
    ResumeTransfers();
  }
}

}  // namespace
}  // namespace velmar::api

namespace velmar::api {
namespace {

TEST(TransportIpv6, AnIpv6AddressAsHost) {
  sim::SimulatorOptions options;
  options.bind = "::1";
  sim::Simulator server(options);
  try {
    server.start();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  InitializeRPCModule();
  InitializeRPC("::1", server.port(), false, "", "");
  EXPECT_EQ(IPS_GetKernelVersion(), "6.4");
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace velmar::api
