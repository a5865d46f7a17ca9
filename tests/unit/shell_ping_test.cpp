#include <gtest/gtest.h>

#include "core/error.h"
#include "shell/icmp.h"
#include "shell/ping.h"

namespace velmar::shell {
namespace {

TEST(ShellPing, IsValidIPAcceptsOnlyDottedQuads) {
  struct Case {
    std::u16string text;
    bool valid;
  };
  const Case cases[] = {
      {u"127.0.0.1", true},
      {u"01.2.3.4", true},
      {u"255.255.255.255", true},
      {u"0.0.0.1", true},
      {u"000000.0.0.00001", true},
      {u"0.0.0.0", false},
      {u"", false},
      {u"1.2.3", false},
      {u"1.2.3.4.", false},
      {u"1.2.3.4.5", false},
      {u" 1.2.3.4", false},
      {u"1.2.3.4 ", false},
      {u"256.1.1.1", false},
      {u"1.2.3.99999999999999999999", false},
      {u"1..3.4", false},
      {u"a.b.c.d", false},
      {u"1.2.3.-4", false},
      {u"localhost", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isValidIP(c.text), c.valid) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(ShellPing, NameToIPAddrGivesTheFirstAddressOrNothing) {
  EXPECT_EQ(NameToIPAddr("localhost"), "127.0.0.1");
  EXPECT_EQ(NameToIPAddr("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(NameToIPAddr("no-such-host.invalid"), "");
  EXPECT_EQ(NameToIPAddr(""), "");
}

TEST(ShellIcmp, TranslateStringToTInAddrFailsWithTheResolverMessage) {
  platform::IPv4Address address{};
  icmp::TranslateStringToTInAddr("localhost", address);
  EXPECT_EQ(address, (platform::IPv4Address{127, 0, 0, 1}));
  try {
    icmp::TranslateStringToTInAddr("no-such-host.invalid", address);
    FAIL() << "no failure";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "invalid hostname or not reachable");
  }
}

TEST(ShellIcmp, EchoToLoopbackIsAnswered) {
  // Needs an ICMP socket: a datagram socket allowed by ping_group_range, or CAP_NET_RAW.
  if (!icmp::Ping("127.0.0.1", 2000)) GTEST_SKIP() << "no ICMP socket can be opened here";
  EXPECT_TRUE(icmp::Ping("localhost", 2000));
}

TEST(ShellIcmp, EchoToAnUnresolvableNameFailsOnceASocketIsOpen) {
  if (!icmp::Ping("127.0.0.1", 2000)) GTEST_SKIP() << "no ICMP socket can be opened here";
  EXPECT_THROW(icmp::Ping("no-such-host.invalid", 2000), Error);
}

}  // namespace
}  // namespace velmar::shell
