#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/error.h"
#include "shell/icmp.h"
#include "shell/ping.h"
#include "support/ports.h"

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
  if (!testing::HostAllowsIcmpSockets()) GTEST_SKIP() << "no ICMP socket can be opened here";
  EXPECT_TRUE(icmp::Ping("127.0.0.1", 2000));
  EXPECT_TRUE(icmp::Ping("localhost", 2000));
}

TEST(ShellIcmp, EchoToAnUnresolvableNameFailsOnceASocketIsOpen) {
  if (!testing::HostAllowsIcmpSockets()) GTEST_SKIP() << "no ICMP socket can be opened here";
  EXPECT_THROW(icmp::Ping("no-such-host.invalid", 2000), Error);
}

using Bytes = std::vector<std::uint8_t>;

// An IPv4 header of 20 bytes (or `headerLength`) for an ICMP packet from `source` to `dest`.
Bytes IpHeader(const platform::IPv4Address& source, const platform::IPv4Address& dest,
               std::size_t headerLength = 20) {
  Bytes header(headerLength, 0);
  header[0] = static_cast<std::uint8_t>(0x40 | headerLength / 4);
  header[9] = 1;  // ICMP
  std::copy(source.begin(), source.end(), header.begin() + 12);
  std::copy(dest.begin(), dest.end(), header.begin() + 16);
  return header;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ShellIcmp, EchoRequestCarriesIdSequenceAndAValidChecksum) {
  const Bytes packet = icmp::EchoRequest(0x1234, 0xABCD);
  ASSERT_EQ(packet.size(), 8u + 32u);
  EXPECT_EQ(packet[0], 8);
  EXPECT_EQ(packet[1], 0);
  EXPECT_EQ((Bytes{packet.begin() + 4, packet.begin() + 8}), (Bytes{0x12, 0x34, 0xAB, 0xCD}));
  // The one's-complement sum over a packet with its checksum in place is all ones.
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < packet.size(); i += 2) sum += packet[i] << 8 | packet[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  EXPECT_EQ(sum, 0xFFFFu);
}

TEST(ShellIcmp, RepliesAreToldFromOtherTraffic) {
  const platform::IPv4Address target{192, 0, 2, 7};
  const platform::IPv4Address self{192, 0, 2, 1};
  const std::uint16_t id = 77;
  const std::uint16_t seq = 5;
  const Bytes request = icmp::EchoRequest(id, seq);
  Bytes reply = request;
  reply[0] = 0;
  Bytes otherSeq = icmp::EchoRequest(id, seq + 1);
  otherSeq[0] = 0;
  // Destination unreachable quoting our request (its IP header and first 8 bytes).
  const Bytes unreachable =
      Concat(Bytes{3, 1, 0, 0, 0, 0, 0, 0},
             Concat(IpHeader(self, target), Bytes(request.begin(), request.begin() + 8)));
  const Bytes unreachableOther =
      Concat(Bytes{3, 1, 0, 0, 0, 0, 0, 0},
             Concat(IpHeader(self, {192, 0, 2, 8}), Bytes(request.begin(), request.begin() + 8)));

  struct Case {
    const char* what;
    Bytes message;
    bool datagram;
    icmp::ReplyKind kind;
  };
  const Case cases[] = {
      {"reply", Concat(IpHeader(target, self), reply), false, icmp::ReplyKind::Answer},
      {"reply with IP options", Concat(IpHeader(target, self, 24), reply), false,
       icmp::ReplyKind::Answer},
      {"reply from elsewhere", Concat(IpHeader(self, self), reply), false,
       icmp::ReplyKind::Unrelated},
      {"other sequence", Concat(IpHeader(target, self), otherSeq), false,
       icmp::ReplyKind::Unrelated},
      {"own request on loopback", Concat(IpHeader(self, target), request), false,
       icmp::ReplyKind::Unrelated},
      {"unreachable", Concat(IpHeader(self, self), unreachable), false,
       icmp::ReplyKind::ErrorReport},
      {"unreachable for another host", Concat(IpHeader(self, self), unreachableOther), false,
       icmp::ReplyKind::Unrelated},
      {"truncated report",
       Concat(IpHeader(self, self), Bytes(unreachable.begin(), unreachable.end() - 1)), false,
       icmp::ReplyKind::Unrelated},
      {"truncated reply", Concat(IpHeader(target, self), Bytes(reply.begin(), reply.begin() + 7)),
       false, icmp::ReplyKind::Unrelated},
      {"header length beyond the data", Concat(IpHeader(target, self, 60), Bytes{}), false,
       icmp::ReplyKind::Unrelated},
      {"empty", Bytes{}, false, icmp::ReplyKind::Unrelated},
      {"datagram reply", reply, true, icmp::ReplyKind::Answer},
      {"datagram other sequence", otherSeq, true, icmp::ReplyKind::Unrelated},
      {"datagram truncated", Bytes(reply.begin(), reply.begin() + 7), true,
       icmp::ReplyKind::Unrelated},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(icmp::ClassifyReply(c.message, c.datagram, target, id, seq), c.kind) << c.what;
  }
}

}  // namespace
}  // namespace velmar::shell
