#pragma once

// Shared set-up of the shell's socket tests: a simulated server with a tree, a Telnet listener
// on a loopback port whose sessions carry a given command table, and a client that runs one
// command line and returns what came back before the next prompt. ShellSocketTest carries
// ls, cd, show and set over a small home; CommandSocketTest carries run, find, uptime and ping
// over the tree each test starts with.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/json_rpc.h"
#include "platform/regional.h"
#include "shell/change_dir.h"
#include "shell/find.h"
#include "shell/list.h"
#include "shell/ping.h"
#include "shell/run_script.h"
#include "shell/set_value.h"
#include "shell/show.h"
#include "shell/uptime.h"
#include "shell_recorded_calls.h"
#include "sim/simulator.h"
#include "support/telnet_client.h"
#include "telnet/listener.h"
#include "telnet/session.h"

namespace velmar::testing {

// The living room of the listing example (ID 12345, eight children, all at position 0, in
// this order on the server) under "Ground floor", plus a few objects for cd, show and set.
inline const char* kHomeTree = R"({"objects":[
  {"id":10100,"parent":0,"name":"Ground floor","position":1},
  {"id":12345,"parent":10100,"name":"Living room"},
  {"id":23456,"parent":12345,"name":"Lights"},
  {"id":34567,"parent":12345,"name":"Dimmer","type":"instance","summary":"Bus 1",
   "instance":{"moduleType":3,"moduleName":"Dimmer"}},
  {"id":30000,"parent":12345,"name":"Counter","type":"variable",
   "variable":{"type":"integer","value":42,"changed":1473084192,"updated":1473084192}},
  {"id":30001,"parent":12345,"name":"Message","type":"variable",
   "variable":{"type":"string","value":"hello"}},
  {"id":56789,"parent":12345,"name":"Startup","type":"script","script":{"file":"56789.ips.php"}},
  {"id":11223,"parent":12345,"name":"Timer","type":"event"},
  {"id":22334,"parent":12345,"name":"Picture","type":"media"},
  {"id":33445,"parent":12345,"name":"Go to lights","type":"link","link":{"target":23456}},
  {"id":23457,"parent":23456,"name":"Ceiling","type":"variable","variable":{"type":"boolean"}},
  {"id":34568,"parent":34567,"name":"Intensity","type":"variable","variable":{"type":"integer"}},
  {"id":10200,"parent":0,"name":"Empty"},
  {"id":10300,"parent":0,"name":"K\u00fcche","position":2},
  {"id":10301,"parent":10300,"name":"Temperatur","type":"variable",
   "variable":{"type":"float","value":20.5}},
  {"id":10302,"parent":10300,"name":"Living temp","type":"variable",
   "variable":{"type":"float","value":19.0}},
  {"id":10400,"parent":0,"name":"To counter","type":"link","link":{"target":30000}},
  {"id":10500,"parent":0,"name":"2024","position":3},
  {"id":10501,"parent":10500,"name":"January"}
]})";

// What one command line produced: the bytes before the next prompt, and that prompt's text.
struct CommandResult {
  std::string output;
  std::string prompt;
};

class ShellFixture : public ::testing::Test {
 protected:
  static constexpr const char* kPromptStart = "\x1b[36;1m";
  static constexpr const char* kPromptEnd = ">\x1b[0m";

  // `commands` for every session; `tree` for Start() without one.
  ShellFixture(telnet::CommandTable commands, std::string tree)
      : commands_(std::move(commands)), tree_(std::move(tree)) {}

  static void SetUpTestSuite() { api::InitializeRPCModule(); }

  void TearDown() override {
    client_.reset();
    if (listener_) listener_->setActive(false);
    listener_.reset();
    if (server_) server_->stop();
  }

  // Starts the server with `options` and the listener, and connects a client that has read
  // the greeting up to the first prompt.
  void Start(sim::SimulatorOptions options) {
    server_.emplace(std::move(options));
    server_->start();
    StartShell(server_->port());
    server_->clearRequests();
  }

  void Start(const std::string& tree) {
    sim::SimulatorOptions options;
    options.treeJson = tree;
    Start(std::move(options));
  }

  void Start() { Start(tree_); }

  // Starts the listener with the API pointed at the server on `serverPort`, and connects a
  // client that has read the greeting up to the first prompt.
  void StartShell(int serverPort) {
    api::InitializeRPC("127.0.0.1", serverPort, false, "", "");

    auto config = std::make_shared<telnet::SessionConfig>();
    config->commands = commands_;
    config->onConnect = [](telnet::Session&) { api::InitializeRPCForThread(); };
    config->onDisconnect = [](telnet::Session&) { api::FinalizeRPCForThread(); };
    listener_ = std::make_unique<telnet::Listener>();
    listener_->setDefaultPort(0);
    listener_->setBindings({"127.0.0.1"});
    listener_->setLoginMessage(u"Have a lot of fun...");
    listener_->setHandlerFactory(telnet::MakeSessionFactory(config));
    listener_->setActive(true);

    client_ = std::make_unique<TelnetClient>(listener_->boundPort());
    client_->readUntil(std::string(kPromptStart) + "IP-Symcon" + kPromptEnd);
  }

  // Sends one command line and returns the output up to the next prompt (without the CR LF
  // that the shell writes before every prompt) and the prompt text.
  CommandResult RunCommand(const std::string& line,
                           TelnetClient::Duration timeout = TelnetClient::kDefaultTimeout) {
    client_->send(line + "\r\n");
    std::string output = client_->readUntil(std::string("\r\n") + kPromptStart, timeout);
    output.resize(output.size() - 2 - std::string(kPromptStart).size());
    std::string prompt = client_->readUntil(kPromptEnd);
    prompt.resize(prompt.size() - std::string(kPromptEnd).size());
    return {output, prompt};
  }

  // Sends one command line and expects the connection to end; returns what came before.
  std::string RunUntilClosed(const std::string& line) {
    client_->send(line + "\r\n");
    return client_->readToEnd();
  }

  // The server calls made since the last take: "IPS_GetObject[12345]".
  std::vector<std::string> TakeRequests() { return TakeRecordedCalls(*server_); }

  std::optional<sim::Simulator> server_;
  std::unique_ptr<telnet::Listener> listener_;
  std::unique_ptr<TelnetClient> client_;

 private:
  telnet::CommandTable commands_;
  std::string tree_;
};

// ls, cd, show and set over kHomeTree, with German regional formats and a fixed time zone.
class ShellSocketTest : public ShellFixture {
 protected:
  ShellSocketTest()
      : ShellFixture({{{u"LS", u"LIST", u"DIR"}, shell::List},
                      {{u"CD", u"CD..", u"CD\\"}, shell::ChangeDir},
                      {{u"SHOW"}, shell::Show},
                      {{u"SET", u"SETVALUE"}, shell::SetValue}},
                     kHomeTree) {}

  static void SetUpTestSuite() {
    // A zone two hours east of UTC, without daylight-saving time, so that date-times are
    // shifted visibly and the same on every host.
    ::setenv("TZ", "VLM-2", 1);
    ::tzset();
    ShellFixture::SetUpTestSuite();
  }

  void SetUp() override {
    platform::OverrideRegionalSettings(platform::RegionalSettings{"%d.%m.%Y", "%H:%M:%S", ",", ""});
  }

  void TearDown() override {
    ShellFixture::TearDown();
    platform::OverrideRegionalSettings(std::nullopt);
  }

  CommandResult Run(const std::string& line) { return RunCommand(line); }
};

// run, find, uptime and ping; each test starts the server with its own tree.
class CommandSocketTest : public ShellFixture {
 protected:
  CommandSocketTest()
      : ShellFixture({{{u"RUN", u"EXEC", u"EXECUTE"}, shell::RunScript},
                      {{u"FIND"}, shell::Find},
                      {{u"UPTIME"}, shell::Uptime},
                      {{u"PING"}, shell::Ping}},
                     R"({"objects":[]})") {}

  // The output of one command line, up to the next prompt.
  std::string Run(const std::string& line,
                  TelnetClient::Duration timeout = TelnetClient::kDefaultTimeout) {
    return RunCommand(line, timeout).output;
  }
};

}  // namespace velmar::testing
