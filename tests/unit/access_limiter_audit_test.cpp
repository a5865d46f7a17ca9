#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "access/audit.h"
#include "access/login_limiter.h"

namespace velmar::access {
namespace {

using namespace std::chrono_literals;

struct FakeClock {
  std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
  LoginLimiter::Now function() {
    return [this] { return now; };
  }
};

// One attempt that fails; true when it shut the client out, nothing when it was not let
// begin.
std::optional<bool> Fail(LoginLimiter& limiter, const std::string& peer) {
  auto attempt = limiter.Begin(peer);
  if (!attempt) return std::nullopt;
  return attempt->Failed();
}

void ShutOut(LoginLimiter& limiter, const std::string& peer) {
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Fail(limiter, peer).has_value()) << peer << " " << i;
  ASSERT_TRUE(limiter.Blocked(peer)) << peer;
}

TEST(LoginLimiterTest, TenFailuresWithinTenMinutesShutTheAddressOutForTenMinutes) {
  FakeClock clock;
  LoginLimiter limiter({}, clock.function());
  for (int i = 1; i < 10; ++i) {
    EXPECT_EQ(Fail(limiter, "192.0.2.1:4000"), false) << i;
    clock.now += 30s;
  }
  EXPECT_FALSE(limiter.Blocked("192.0.2.1"));
  EXPECT_EQ(Fail(limiter, "192.0.2.1:4001"), true);
  EXPECT_TRUE(limiter.Blocked("192.0.2.1"));
  EXPECT_FALSE(limiter.Begin("192.0.2.1:4002"));  // no check at all while shut out
  EXPECT_FALSE(limiter.Blocked("192.0.2.2"));     // counted per address

  clock.now += 10min - 1s;
  EXPECT_TRUE(limiter.Blocked("192.0.2.1"));
  clock.now += 1s;
  EXPECT_FALSE(limiter.Blocked("192.0.2.1"));
  EXPECT_EQ(Fail(limiter, "192.0.2.1"), false);  // the count starts afresh
}

TEST(LoginLimiterTest, FailuresSpreadOverMoreThanTheWindowDoNotShutOut) {
  FakeClock clock;
  LoginLimiter limiter({}, clock.function());
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(Fail(limiter, "192.0.2.1"), false) << i;
    clock.now += 2min;  // five a window at most
  }
}

TEST(LoginLimiterTest, AttemptsUnderWayCountUntilTheyAreSettled) {
  FakeClock clock;
  LoginLimiter limiter({}, clock.function());
  std::list<LoginLimiter::Attempt> underWay;
  const auto begin = [&] {
    auto attempt = limiter.Begin("192.0.2.1:5000");
    if (attempt) underWay.push_back(std::move(*attempt));
    return attempt.has_value();
  };
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(begin()) << i;
  // Ten checks under way are as many as may fail: the eleventh is not begun.
  EXPECT_FALSE(begin());
  EXPECT_FALSE(limiter.Blocked("192.0.2.1"));

  // A success gives its place back and clears nothing; so does an attempt never checked.
  underWay.front().Succeeded();
  underWay.pop_front();
  EXPECT_TRUE(begin());
  underWay.pop_front();
  EXPECT_TRUE(begin());
  EXPECT_FALSE(begin());

  // Nine fail; the tenth failure shuts out, and no later one counts again.
  int shutOut = 0;
  for (auto& attempt : underWay) shutOut += attempt.Failed() ? 1 : 0;
  EXPECT_EQ(shutOut, 1);
  EXPECT_TRUE(limiter.Blocked("192.0.2.1"));
  clock.now += 10min;
  EXPECT_FALSE(limiter.Blocked("192.0.2.1"));
  EXPECT_TRUE(begin());
}

TEST(LoginLimiterTest, AShutOutAddressIsNeverForgottenAndNewcomersStillCount) {
  FakeClock clock;
  LoginLimits limits;
  limits.maxAddresses = 4;
  LoginLimiter limiter(limits, clock.function());
  ShutOut(limiter, "198.51.100.1");
  // Others failing once each take the other places in turn; the shut-out one stays.
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(Fail(limiter, "203.0.113." + std::to_string(i)), false);
    clock.now += 1s;
    EXPECT_LE(limiter.TrackedAddresses(), 4u);
  }
  EXPECT_TRUE(limiter.Blocked("198.51.100.1"));

  // Every place is taken by a shut-out address: the newcomers are counted together.
  for (const char* address : {"198.51.100.2", "198.51.100.3", "198.51.100.4"}) {
    ShutOut(limiter, address);
  }
  EXPECT_EQ(limiter.TrackedAddresses(), 4u);
  for (int i = 1; i < 10; ++i) EXPECT_EQ(Fail(limiter, "192.0.2." + std::to_string(i)), false);
  EXPECT_EQ(Fail(limiter, "192.0.2.10"), true);
  EXPECT_TRUE(limiter.Blocked("192.0.2.77"));  // a newcomer shares their fate
  EXPECT_FALSE(limiter.Begin("192.0.2.78"));
  EXPECT_TRUE(limiter.Blocked("198.51.100.1"));

  clock.now += 10min;
  for (const char* address : {"198.51.100.1", "198.51.100.4", "192.0.2.77"}) {
    EXPECT_FALSE(limiter.Blocked(address)) << address;
  }
  EXPECT_EQ(Fail(limiter, "192.0.2.78"), false);
}

TEST(LoginLimiterTest, AnIpv6ClientIsCountedByItsNetwork) {
  const struct {
    const char* peer;
    const char* key;
  } cases[] = {
      {"192.0.2.7:2323", "192.0.2.7"},
      {"192.0.2.7", "192.0.2.7"},
      {"[2001:db8:1:2:aaaa::1]:22", "[2001:db8:1:2::]/64"},
      {"[2001:db8:1:2:ffff:ffff:ffff:ffff]:1", "[2001:db8:1:2::]/64"},
      {"[2001:db8:1:3::1]:22", "[2001:db8:1:3::]/64"},
      {"[::1]:40000", "[::]/64"},
      {"[::ffff:192.0.2.7]:23", "192.0.2.7"},
      {"[not an address]:23", "[not an address]"},
  };
  for (const auto& c : cases) EXPECT_EQ(LimitKeyOf(c.peer), c.key) << c.peer;
  EXPECT_EQ(AddressOfPeer("127.0.0.1:40000"), "127.0.0.1");
  EXPECT_EQ(AddressOfPeer("[::1]:40000"), "[::1]");

  FakeClock clock;
  LoginLimiter limiter({}, clock.function());
  for (int i = 0; i < 10; ++i) Fail(limiter, "[2001:db8:1:2::" + std::to_string(i + 1) + "]:22");
  EXPECT_TRUE(limiter.Blocked("[2001:db8:1:2:dead:beef::1]:22"));
  EXPECT_FALSE(limiter.Blocked("[2001:db8:1:3::1]:22"));
}

TEST(AuditTrailTest, QuotesMakeAnyTextInertAndCutLongNames) {
  EXPECT_EQ(AuditQuote("set 1 \"a\\b\""), "\"set 1 \\\"a\\\\b\\\"\"");
  EXPECT_EQ(AuditQuote("x\x1b[2Jy\r\n"), "\"x\\x1b[2Jy\\x0d\\x0a\"");
  EXPECT_EQ(AuditQuote("K\xc3\xbc"), "\"K\\xc3\\xbc\"");
  EXPECT_EQ(AuditQuote(std::string(70, 'n'), 64), "\"" + std::string(64, 'n') + "...\"");
}

TEST(AuditTrailTest, WritesToTheSinkAndAppendsToTheFileReopenedAfterRotation) {
  char dir[] = "/tmp/velmar-audit-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/audit.log";
  const std::string rotated = path + ".1";

  std::vector<std::string> lines;
  AuditTrail audit;
  audit.setSink([&](const std::string& line) { lines.push_back(line); });
  audit.setFile(path);
  audit.Log("one");
  ASSERT_EQ(::rename(path.c_str(), rotated.c_str()), 0);
  audit.Log("two");  // still the old file until reopened
  EXPECT_EQ(audit.Reopen(), "");
  audit.Log("three");

  EXPECT_EQ(lines, (std::vector<std::string>{"velmar: audit: one", "velmar: audit: two",
                                             "velmar: audit: three"}));
  auto read = [](const std::string& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string before = read(rotated), after = read(path);
  EXPECT_NE(before.find(" one\n"), std::string::npos) << before;
  EXPECT_NE(before.find(" two\n"), std::string::npos) << before;
  EXPECT_EQ(after.find(" one\n"), std::string::npos) << after;
  EXPECT_NE(after.find(" three\n"), std::string::npos) << after;

  EXPECT_THROW(audit.setFile(std::string(dir) + "/missing/audit.log"), std::exception);
  ::unlink(path.c_str());
  ::unlink(rotated.c_str());
  ::rmdir(dir);
}

}  // namespace
}  // namespace velmar::access
