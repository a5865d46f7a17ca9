#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "core/error.h"
#include "telnet/connection.h"
#include "text/console_layout.h"

namespace velmar::telnet {
namespace {

using namespace std::chrono_literals;

// A Connection over one end of a socket pair; the test plays the client on the other end.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    connection_ = std::make_unique<Connection>(fds[0]);
    peer_ = fds[1];
  }
  void TearDown() override {
    if (peer_ >= 0) ::close(peer_);
  }

  void send(std::string_view bytes) {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  std::string received() {
    connection_->Disconnect();  // everything written is in the socket buffer by now
    std::string all;
    char buf[4096];
    for (;;) {
      const ssize_t got = ::recv(peer_, buf, sizeof buf, 0);
      if (got <= 0) return all;
      all.append(buf, static_cast<std::size_t>(got));
    }
  }

  std::unique_ptr<Connection> connection_;
  int peer_ = -1;
};

TEST_F(ConnectionTest, WritesUtf8AndCrLf) {
  connection_->Write(u"21 °C ");
  connection_->Write(u"");
  connection_->WriteLn(u"Küche");
  connection_->WriteLn();
  connection_->WriteFormated(u"12 a\u00FCb");
  connection_->WriteFormated(std::vector<std::u16string>{u" x", u""});
  EXPECT_EQ(received(),
            "21 \xc2\xb0"
            "C K\xc3\xbc"
            "che\r\n\r\na\xc3\xbc"
            "b\r\nx\r\n\r\n");
}

TEST_F(ConnectionTest, WriteFormatedCutsAtTheConsoleWidth) {
  ASSERT_EQ(text::gConsoleChars.load(), 80);
  connection_->WriteFormated(u"7 " + std::u16string(120, u'x'));
  EXPECT_EQ(received(), std::string(80, 'x') + "\r\n");
}

TEST_F(ConnectionTest, ReadsLinesSplitAndJoinedAnyhow) {
  send("ls\r\ncd K\xc3");
  EXPECT_EQ(connection_->InputLn(), u"ls");
  std::thread later([this] {
    send(
        "\xbc"
        "che\n\xfe\n");
  });
  EXPECT_EQ(connection_->InputLn(), u"cd Küche");
  later.join();
  EXPECT_EQ(connection_->InputLn(), u"\uFFFD");
}

TEST_F(ConnectionTest, ALineWithoutLfFailsWhenTheClientLeaves) {
  send("ls");
  ::shutdown(peer_, SHUT_WR);
  EXPECT_THROW(connection_->InputLn(), Error);
  EXPECT_FALSE(connection_->Connected());
  EXPECT_THROW(connection_->WriteLn(u"late"), Error);
}

TEST_F(ConnectionTest, DisconnectWakesABlockedRead) {
  auto reader = std::async(std::launch::async, [this] { return connection_->InputLn(); });
  ASSERT_EQ(reader.wait_for(50ms), std::future_status::timeout);  // blocked, no data yet
  connection_->Disconnect();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_THROW(reader.get(), Error);
}

TEST_F(ConnectionTest, DisconnectCutsADelayShort) {
  connection_->delay(0);
  connection_->delay(-5);
  auto sleeper = std::async(std::launch::async, [this] { connection_->delay(600000); });
  ASSERT_EQ(sleeper.wait_for(20ms), std::future_status::timeout);
  connection_->Disconnect();
  EXPECT_EQ(sleeper.wait_for(10s), std::future_status::ready);
  connection_->delay(600000);  // on a closed connection: returns at once
}

TEST_F(ConnectionTest, DelayWaitsItsTime) {
  const auto start = std::chrono::steady_clock::now();
  connection_->delay(100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

}  // namespace
}  // namespace velmar::telnet
