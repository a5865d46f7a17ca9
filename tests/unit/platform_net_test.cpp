#include <gtest/gtest.h>

#include "platform/name_resolution.h"

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

}  // namespace
}  // namespace velmar::platform
