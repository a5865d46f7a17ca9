// The listener's connection limits: over either limit a client is told so and closed at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/ports.h"
#include "telnet_fixture.h"

namespace velmar::telnet::testing {
namespace {

using namespace std::chrono_literals;

using LimitsTest = TelnetFixture;

const std::string kRefusal = "Too many connections.\r\n";

TEST_F(LimitsTest, AClientOverThePerAddressLimitIsRefusedUntilOneLeaves) {
  if (!velmar::testing::HostHasIpv6Loopback())
    GTEST_SKIP() << "no IPv6 loopback: a second address is needed";
  listener_.setConnectionLimits(0, 2);
  start({}, {"127.0.0.1", "::1"});
  auto first = connectGreeted();
  auto second = connectGreeted();
  EXPECT_EQ(connect()->readToEnd(), kRefusal);
  EXPECT_EQ(connects_.load(), 2);  // no session was started for the refused one

  // Another address has its own count.
  TelnetClient other("::1", listener_.boundPort());
  EXPECT_EQ(other.readUntil(kPrompt), kGreeting + kPrompt);

  first.reset();
  // The slot is free once the session has ended.
  for (int i = 0; i < 200 && listener_.connectionCount() > 2; ++i) {
    listener_.waitUntilNoConnections(10ms);
  }
  ASSERT_EQ(listener_.connectionCount(), 2u);
  connectGreeted();
}

TEST_F(LimitsTest, AClientOverTheTotalLimitIsRefused) {
  if (!velmar::testing::HostHasIpv6Loopback())
    GTEST_SKIP() << "no IPv6 loopback: a second address is needed";
  listener_.setConnectionLimits(3, 0);
  std::mutex mutex;
  std::vector<std::string> refused;
  listener_.setRefusalHook([&](const std::string& address, bool, std::string_view) {
    std::lock_guard lock(mutex);
    refused.push_back(address);
  });
  start({}, {"127.0.0.1", "::1"});
  std::vector<std::unique_ptr<TelnetClient>> clients;
  for (int i = 0; i < 2; ++i) clients.push_back(connectGreeted());
  clients.push_back(std::make_unique<TelnetClient>("::1", listener_.boundPort()));
  clients.back()->readUntil(kPrompt);
  EXPECT_EQ(connect()->readToEnd(), kRefusal);
  EXPECT_EQ(TelnetClient("::1", listener_.boundPort()).readToEnd(), kRefusal);
  EXPECT_EQ(connects_.load(), 3);
  std::lock_guard lock(mutex);
  EXPECT_EQ(refused, (std::vector<std::string>{"127.0.0.1", "[::1]"}));
}

}  // namespace
}  // namespace velmar::telnet::testing
