#include <gtest/gtest.h>

#include "platform/name_resolution.h"
#include "platform/socket_address.h"

namespace velmar::platform {
namespace {

TEST(PlatformNameResolution, ResolvesAddressesAndNamesToTheFirstIPv4Address) {
  struct Case {
    std::string name;
    std::string address;
  };
  for (const Case& c : {Case{"127.0.0.1", "127.0.0.1"}, Case{"localhost", "127.0.0.1"},
                        Case{"10.20.30.40", "10.20.30.40"}}) {
    const IPv4Resolution r = ResolveIPv4(c.name);
    ASSERT_EQ(r.status, ResolveStatus::Resolved) << c.name;
    EXPECT_EQ(FormatIPv4(r.address), c.address) << c.name;
  }
}

TEST(PlatformNameResolution, UnknownAndEmptyNamesResolveToNothing) {
  // .invalid is reserved: no resolver may answer for it.
  for (const std::string& name :
       {std::string("no-such-host.invalid"), std::string(), std::string("local\0host", 10)}) {
    EXPECT_EQ(ResolveIPv4(name).status, ResolveStatus::NotFound) << name;
  }
}

TEST(PlatformNameResolution, FormatsDottedQuads) {
  EXPECT_EQ(FormatIPv4({0, 0, 0, 0}), "0.0.0.0");
  EXPECT_EQ(FormatIPv4({255, 1, 10, 100}), "255.1.10.100");
}

TEST(SocketAddressText, NumericAddressesParseAndFormatBack) {
  struct Case {
    std::string text;
    std::string endpoint;  // empty: not a numeric address
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1:23"},
      {"0.0.0.0", "0.0.0.0:23"},
      {"::", "[::]:23"},
      {"[::1]", "[::1]:23"},
      {"::ffff:10.0.0.1", "[::ffff:10.0.0.1]:23"},
      {"[fe80::1:2]", "[fe80::1:2]:23"},
      {"[192.168.1.5]", "192.168.1.5:23"},
      {"localhost", ""},
      {"", ""},
      {"[]", ""},
      {"1.2.3", ""},
      {"256.0.0.1", ""},
      {"[::1", ""},
      {"127.0.0.1 ", ""},
  };
  for (const Case& c : cases) {
    const auto address = ParseNumericAddress(c.text, 23);
    if (c.endpoint.empty()) {
      EXPECT_FALSE(address) << c.text;
    } else {
      ASSERT_TRUE(address) << c.text;
      EXPECT_EQ(address->port(), 23) << c.text;
      EXPECT_EQ(FormatEndpoint(*address), c.endpoint) << c.text;
    }
  }
}

}  // namespace
}  // namespace velmar::platform
