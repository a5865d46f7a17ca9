#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
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

TEST(LoginLimiterTest, TenFailuresWithinTenMinutesShutTheAddressOutForTenMinutes) {
  FakeClock clock;
  LoginLimiter limiter({}, clock.function());
  for (int i = 1; i < 10; ++i) {
    EXPECT_FALSE(limiter.RecordFailure("192.0.2.1")) << i;
    clock.now += 30s;
  }
  EXPECT_FALSE(limiter.Blocked("192.0.2.1"));
  EXPECT_TRUE(limiter.RecordFailure("192.0.2.1"));
  EXPECT_TRUE(limiter.Blocked("192.0.2.1"));
  EXPECT_FALSE(limiter.Blocked("192.0.2.2"));  // counted per address

  clock.now += 10min - 1s;
  EXPECT_TRUE(limiter.Blocked("192.0.2.1"));
  clock.now += 1s;
  EXPECT_FALSE(limiter.Blocked("192.0.2.1"));
  EXPECT_FALSE(limiter.RecordFailure("192.0.2.1"));  // the count starts afresh
}

TEST(LoginLimiterTest, FailuresSpreadOverMoreThanTheWindowDoNotShutOut) {
  FakeClock clock;
  LoginLimiter limiter({}, clock.function());
  for (int i = 0; i < 30; ++i) {
    EXPECT_FALSE(limiter.RecordFailure("192.0.2.1")) << i;
    clock.now += 2min;  // five a window at most
  }
}

TEST(LoginLimiterTest, RemembersABoundedNumberOfAddresses) {
  FakeClock clock;
  LoginLimits limits;
  limits.maxAddresses = 8;
  LoginLimiter limiter(limits, clock.function());
  for (int i = 0; i < 10; ++i) limiter.RecordFailure("198.51.100.1");
  ASSERT_TRUE(limiter.Blocked("198.51.100.1"));
  for (int i = 0; i < 100; ++i) {
    limiter.RecordFailure("203.0.113." + std::to_string(i));
    clock.now += 1s;
    EXPECT_LE(limiter.TrackedAddresses(), 8u);
  }
  // Once the room is taken by newer addresses, the oldest entry goes first.
  EXPECT_FALSE(limiter.Blocked("198.51.100.1"));
  EXPECT_EQ(AddressOfPeer("127.0.0.1:40000"), "127.0.0.1");
  EXPECT_EQ(AddressOfPeer("[::1]:40000"), "[::1]");
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
