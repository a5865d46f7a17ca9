#include <cctype>
#include <string>

#include "shell/icmp.h"
#include "shell_fixture.h"
#include "support/ports.h"

namespace velmar::testing {
namespace {

class PingCommandTest : public CommandSocketTest {
 protected:
  void SetUp() override {
    // Echo needs an ICMP socket: a datagram socket that ping_group_range allows, or a raw
    // one (CAP_NET_RAW). Without either every attempt is "No answer".
    if (!HostAllowsIcmpSockets()) GTEST_SKIP() << "no ICMP socket can be opened here";
    Start(R"({"objects":[]})");
  }

  static constexpr TelnetClient::Duration kPingTimeout{20000};

  // Whether `output` is exactly four lines "  Answer from <ip> in <n>ms.".
  static bool FourAnswers(const std::string& output, const std::string& ip) {
    const std::string start = "  Answer from " + ip + " in ";
    const std::string end = "ms.\r\n";
    std::size_t pos = 0;
    for (int n = 0; n < 4; ++n) {
      if (output.compare(pos, start.size(), start) != 0) return false;
      pos += start.size();
      const std::size_t digits = pos;
      while (pos < output.size() && std::isdigit(static_cast<unsigned char>(output[pos]))) ++pos;
      if (pos == digits || output.compare(pos, end.size(), end) != 0) return false;
      pos += end.size();
    }
    return pos == output.size();
  }
};

TEST_F(PingCommandTest, LoopbackAnswersFourTimesByAddressAndByName) {
  // A second connection pings by name at the same time; each sees only its own replies.
  TelnetClient second(listener_->boundPort());
  second.readUntil(std::string(kPromptStart) + "IP-Symcon" + kPromptEnd);
  second.send("ping localhost\r\n");

  const std::string byAddress = Run("ping 127.0.0.1", kPingTimeout);
  std::string byName = second.readUntil(std::string("\r\n") + kPromptStart, kPingTimeout);
  byName.resize(byName.size() - 2 - std::string(kPromptStart).size());

  EXPECT_TRUE(FourAnswers(byAddress, "127.0.0.1")) << byAddress;
  EXPECT_TRUE(FourAnswers(byName, "127.0.0.1")) << byName;
  EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(PingCommandTest, CtrlCStopsBeforeTheNextEcho) {
  client_->send("ping 127.0.0.1\r\n");
  client_->readUntil("  Answer from 127.0.0.1 in ", kPingTimeout);
  client_->readUntil("ms.\r\n");
  client_->send("\xff\xf4");  // IAC IP
  std::string rest = client_->readUntil(std::string("\r\n") + kPromptStart, kPingTimeout);
  // The offer of BINARY that a client's first command brings, then no further echo.
  EXPECT_EQ(rest, std::string("\xff\xfb\x00\xff\xfd\x00\r\n", 8) + kPromptStart);
  client_->readUntil(kPromptEnd);
  EXPECT_EQ(Run("ping"), "Exception: invalid hostname or not reachable\r\n");
}

TEST_F(PingCommandTest, UnresolvableHostGivesOneExceptionLine) {
  // .invalid is reserved and never resolves; the empty host of a bare PING neither.
  for (const char* line : {"ping no-such-host.invalid", "PING", "ping \"no such host\""}) {
    EXPECT_EQ(Run(line, kPingTimeout), "Exception: invalid hostname or not reachable\r\n") << line;
  }
}

}  // namespace
}  // namespace velmar::testing
