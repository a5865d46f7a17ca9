#pragma once

// Shared set-up of the API integration tests: the module started once for the process, a
// simulated server with a small tree, and the settings pointed at it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "api/json_rpc.h"
#include "sim/simulator.h"

namespace velmar::testing {

// Küche (a float variable) and a string variable under the root; IDs chosen to match the
// request examples.
inline const char* kApiTree = R"({"objects":[
  {"id":12345,"parent":0,"name":"K\u00fcche","type":"variable","position":2,
   "variable":{"type":"float","value":20.0,"changed":1700000000,"updated":1700000100}},
  {"id":23456,"parent":12345,"name":"Text","type":"variable",
   "variable":{"type":"string","value":"hello"}},
  {"id":34567,"parent":0,"name":"Licht","type":"instance",
   "instance":{"status":102,"moduleID":"{ABC}","moduleName":"Dimmer","moduleType":3}},
  {"id":45678,"parent":0,"name":"Skript","type":"script",
   "script":{"executed":1700000000,"output":"<b>done</b> \u00e4"}},
  {"id":56789,"parent":0,"name":"Verweis","type":"link","link":{"target":12345}},
  {"id":13579,"parent":0,"name":"Schalter","type":"variable","variable":{"type":"boolean"}},
  {"id":24680,"parent":0,"name":"Z\u00e4hler","type":"variable","variable":{"type":"integer"}}
]})";

class ApiServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { api::InitializeRPCModule(); }

  void SetUp() override {
    sim::SimulatorOptions options;
    options.treeJson = kApiTree;
    options.kernelStart = 1700000000;
    server_.emplace(options);
    server_->start();
    // Every test starts with a fresh client on the main thread.
    api::FinalizeRPCForThread();
    api::InitializeRPCForThread();
    Connect();
  }

  void TearDown() override {
    api::ResumeTransfers();
    api::SetConnectionUse({});
  }

  void Connect(const std::string& username = "", const std::string& password = "") {
    api::InitializeRPC("127.0.0.1", server_->port(), false, username, password);
  }

  // The value of header `name` (any case) of the last recorded request, if present.
  std::optional<std::string> LastHeader(const std::string& name) const {
    auto requests = server_->requests();
    if (requests.empty()) return std::nullopt;
    for (const auto& [key, value] : requests.back().headers)
      if (std::equal(key.begin(), key.end(), name.begin(), name.end(),
                     [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
        return value;
    return std::nullopt;
  }

  std::string LastBody() const {
    auto requests = server_->requests();
    return requests.empty() ? std::string() : requests.back().body;
  }

  std::optional<sim::Simulator> server_;
};

}  // namespace velmar::testing
