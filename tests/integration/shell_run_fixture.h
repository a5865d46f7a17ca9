#pragma once

// Shared set-up of the socket tests of run, find, uptime and ping: a simulated server with a
// small tree, a Telnet listener on a loopback port whose sessions carry those four commands,
// and a client that runs one command line and returns what came back before the next prompt.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/json_rpc.h"
#include "shell/find.h"
#include "shell/ping.h"
#include "shell/run_script.h"
#include "shell/uptime.h"
#include "shell_recorded_calls.h"
#include "sim/simulator.h"
#include "support/telnet_client.h"
#include "telnet/listener.h"
#include "telnet/session.h"

namespace velmar::testing {

class CommandSocketTest : public ::testing::Test {
 protected:
  static constexpr const char* kPromptStart = "\x1b[36;1m";
  static constexpr const char* kPromptEnd = ">\x1b[0m";

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
    api::InitializeRPC("127.0.0.1", server_->port(), false, "", "");

    auto config = std::make_shared<telnet::SessionConfig>();
    config->commands = {
        {{u"RUN", u"EXEC", u"EXECUTE"}, shell::RunScript},
        {{u"FIND"}, shell::Find},
        {{u"UPTIME"}, shell::Uptime},
        {{u"PING"}, shell::Ping},
    };
    config->onConnect = [](telnet::Session&) { api::InitializeRPCForThread(); };
    config->onDisconnect = [](telnet::Session&) { api::FinalizeRPCForThread(); };
    listener_ = std::make_unique<telnet::Listener>();
    listener_->setDefaultPort(0);
    listener_->setBindings({"127.0.0.1"});
    listener_->setHandlerFactory(telnet::MakeSessionFactory(config));
    listener_->setActive(true);

    client_ = std::make_unique<TelnetClient>(listener_->boundPort());
    client_->readUntil(std::string(kPromptStart) + "IP-Symcon" + kPromptEnd);
    server_->clearRequests();
  }

  void Start(const std::string& tree) {
    sim::SimulatorOptions options;
    options.treeJson = tree;
    Start(std::move(options));
  }

  // Sends one command line and returns the output up to the next prompt, without the CR LF
  // that the shell writes before every prompt.
  std::string Run(const std::string& line,
                  TelnetClient::Duration timeout = TelnetClient::kDefaultTimeout) {
    client_->send(line + "\r\n");
    std::string output = client_->readUntil(std::string("\r\n") + kPromptStart, timeout);
    output.resize(output.size() - 2 - std::string(kPromptStart).size());
    client_->readUntil(kPromptEnd);
    return output;
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
};

}  // namespace velmar::testing
