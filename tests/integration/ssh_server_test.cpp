// The SSH server against the real OpenSSH client: host key, key and password logins, the
// attempt and time limits, commands and their exit statuses, and a pty session with the line
// editor and window changes.
#include "ssh/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "ssh/channel_client.h"
#include "ssh/keys.h"
#include "ssh/line_editor.h"
#include "support/ssh_client.h"
#include "support/stderr_capture.h"
#include "text/encoding.h"

namespace velmar::ssh {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testing::CommandRun;
using testing::PtyClient;
using testing::ReadFileText;
using testing::RunCommand;
using testing::WriteFileText;

// How the last "flood" command (endless output) ended.
enum class FloodEnd { kRunning, kStalled, kGone };
std::atomic<FloodEnd> gFloodEnd{FloodEnd::kRunning};

// Plays the shell: over a pty, the line editor with the prompt "> " and "got: LINE" for
// each line until "exit" or Ctrl+D; without one, plain lines; a command is answered
// with "ran COMMAND as USER" and status 1 when the command is "fail"; "wait" waits and answers
// through the shell's own client.
void Session(Channel& channel) {
  if (channel.command() == "wait") {
    // The shell's own client: waits a while as ping does, then answers.
    ChannelClient client(channel, true);
    client.delay(300);
    client.WriteLn(client.Connected() ? u"still here" : u"gone");
    return;
  }
  if (channel.command() == "flood") {
    const std::string chunk(65536, 'x');
    while (channel.write(chunk)) {
    }
    gFloodEnd = channel.stalled() ? FloodEnd::kStalled : FloodEnd::kGone;
    return;
  }
  if (channel.command()) {
    channel.write("ran " + *channel.command() + " as " + channel.user() + "\n");
    channel.setExitStatus(*channel.command() == "fail" ? 1 : 0);
    return;
  }
  LineEditor editor(channel.width() > 0 ? channel.width() : 80);
  std::string pending;
  channel.onResize = [&](int width) {
    editor.resize(width, pending);
    pending += "[width " + std::to_string(width) + "]";
  };
  const auto prompt = [&] {
    channel.write("> ");
    editor.begin(u"> ");
  };
  prompt();
  std::string input;
  std::string plain;
  while (channel.read(input, 200ms) && !(input.empty() && channel.inputEnded())) {
    std::string screen;
    for (const char c : input) {
      if (!channel.pty()) {
        if (c != '\n') {
          plain += c;
          continue;
        }
        if (plain == "exit") return;
        channel.write("got: " + plain + "\n");
        plain.clear();
        continue;
      }
      const auto event = editor.feed(static_cast<unsigned char>(c), screen);
      if (event == LineEditor::Event::EndOfInput) {
        channel.write(screen);
        return;
      }
      if (event == LineEditor::Event::Line) {
        const std::string line = text::Utf16ToUtf8(editor.take());
        channel.write(screen);
        screen.clear();
        if (line == "exit") return;
        channel.write("got: " + line + "\r\n");
        prompt();
      }
    }
    input.clear();
    channel.write(pending + screen);
    pending.clear();
  }
}

class SshServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir_ / "keys");
    files_.makeKey("alice");
    files_.makeKey("bob");
    WriteFileText(dir_ / "keys" / "alice", "# alice's laptop\n\n" + files_.publicKey("alice"),
                  fs::perms::owner_read | fs::perms::owner_write);

    config_.hostKeyPath = (dir_ / "state" / "velmar" / "ssh_host_ed25519_key").string();
    hostKey_ = LoadOrCreateHostKey(config_.hostKeyPath);
    config_.authorizedKeysDir = (dir_ / "keys").string();
    config_.checkPassword = [this](const std::string& user, std::string_view password,
                                   const std::string& address, const std::function<bool()>&) {
      ++passwordChecks_;
      return user == "bob" && password == "Geheim 1" && address == "127.0.0.1"
                 ? LoginCheck::kAccepted
                 : LoginCheck::kRejected;
    };
    config_.onSession = Session;
    start();
  }

  void TearDown() override {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& thread : connections_) thread.join();
  }

  void start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      while (true) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        {
          std::lock_guard lock(fdsMutex_);
          fds_.push_back(fd);
        }
        connections_.emplace_back([this, fd] { Serve(fd, "127.0.0.1", config_); });
      }
    });
  }

  // Stops listening, lets `change` set the configuration and listens again (the serving
  // threads read the configuration, so it is never changed while they may run).
  void restartWith(const std::function<void(ServerConfig&)>& change) {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    change(config_);
    start();
  }

  std::string withKey(const std::string& key) const { return files_.withKey(port_, key); }
  std::string withPassword(const std::string& password) const {
    return files_.withPassword(port_, password);
  }

  testing::SshClientFiles files_;
  const fs::path& dir_ = files_.dir();
  std::atomic<int> passwordChecks_{0};
  ServerConfig config_;
  Key hostKey_;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
  std::mutex fdsMutex_;
  std::vector<int> fds_;
};

TEST_F(SshServerTest, HostKeyIsMadeOnceKeptPrivateAndShownByItsFingerprint) {
  const fs::path key = config_.hostKeyPath;
  EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(key.parent_path()).permissions(), fs::perms::owner_all);
  const std::string contents = ReadFileText(key);
  const std::string fingerprint = Fingerprint(hostKey_.get());
  EXPECT_EQ(fingerprint.rfind("SHA256:", 0), 0u);
  // Loaded again, the same key; ssh-keygen and a client see the same fingerprint.
  EXPECT_EQ(Fingerprint(LoadOrCreateHostKey(key).get()), fingerprint);
  EXPECT_EQ(ReadFileText(key), contents);
  EXPECT_NE(RunCommand("ssh-keygen -lf " + key.string()).out.find(fingerprint + " "),
            std::string::npos);
  WriteFileText(dir_ / "scanned",
                RunCommand("ssh-keyscan -t ed25519 -p " + std::to_string(port_) + " 127.0.0.1").out,
                fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NE(RunCommand("ssh-keygen -lf " + (dir_ / "scanned").string()).out.find(fingerprint),
            std::string::npos);
}

TEST_F(SshServerTest, HostKeyThatCannotBeReadIsAnError) {
  WriteFileText(dir_ / "broken_key", "not a key\n", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_THROW(LoadOrCreateHostKey((dir_ / "broken_key").string()), Error);
  WriteFileText(dir_ / "file", "", fs::perms::owner_read);
  EXPECT_THROW(LoadOrCreateHostKey((dir_ / "file" / "key").string()), Error);
}

// A private key that others may read or change is refused with the chmod that mends it, as
// OpenSSH refuses one.
TEST_F(SshServerTest, HostKeyOpenToOtherUsersIsRefused) {
  const std::string key = (dir_ / "host_key").string();
  LoadOrCreateHostKey(key);
  for (const char* mode : {"0644", "0640", "0604", "0620", "0602", "0660"}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(key.c_str(), static_cast<mode_t>(std::stoul(mode, nullptr, 8))), 0);
    try {
      LoadOrCreateHostKey(key);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), "The SSH host key " + key +
                                           " is open to other users (mode " + mode +
                                           "); make it private with: chmod 600 " + key);
    }
  }
  for (const mode_t mode : {0600, 0400}) {
    ASSERT_EQ(::chmod(key.c_str(), mode), 0);
    EXPECT_EQ(Fingerprint(LoadOrCreateHostKey(key).get()).rfind("SHA256:", 0), 0u) << mode;
  }
}

// The new key is written to a temporary file beside it first. Whatever is found there (a link
// someone put to a file of theirs, or a file left by a crash) is never written through or over.
TEST_F(SshServerTest, NewHostKeyIsNeverWrittenThroughWhatIsAtItsTemporaryPath) {
  const fs::path key = dir_ / "made" / "host_key";
  const fs::path elsewhere = dir_ / "elsewhere";
  WriteFileText(elsewhere, "someone's file\n",
                fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  fs::create_directories(key.parent_path());
  fs::create_symlink(elsewhere, key.string() + ".new");
  try {
    LoadOrCreateHostKey(key.string());
    ADD_FAILURE() << "a key was made through the link";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find(key.string() + ".new is in the way"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(ReadFileText(elsewhere), "someone's file\n");
  EXPECT_EQ(fs::status(elsewhere).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  EXPECT_FALSE(fs::exists(key));

  // Once the way is clear, the key is made private.
  fs::remove(key.string() + ".new");
  LoadOrCreateHostKey(key.string());
  EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::exists(fs::symlink_status(key.string() + ".new")));
}

TEST_F(SshServerTest, LoginsByKeyAndPassword) {
  const struct {
    const char* name;
    std::string command;
    int status;
    std::string out;
  } cases[] = {
      {"own key", withKey("alice") + " alice@127.0.0.1 'ls -v'", 0, "ran ls -v as alice\n"},
      {"status of the command", withKey("alice") + " alice@127.0.0.1 fail", 1,
       "ran fail as alice\n"},
      {"someone else's key", withKey("bob") + " alice@127.0.0.1 ls", 255, ""},
      {"user without a keys file", withKey("bob") + " bob@127.0.0.1 ls", 255, ""},
      {"name that is a path", withKey("alice") + " ../keys/alice@127.0.0.1 ls", 255, ""},
      {"right password", withPassword("Geheim 1") + " bob@127.0.0.1 who", 0, "ran who as bob\n"},
      {"password of another user", withPassword("Geheim 1") + " alice@127.0.0.1 who", 255, ""},
  };
  for (const auto& c : cases) {
    const CommandRun run = RunCommand(c.command);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(run.out, c.out) << c.name;
  }
}

TEST_F(SshServerTest, ThreeWrongPasswordsEndTheConnection) {
  EXPECT_EQ(RunCommand(withPassword("wrong") + " bob@127.0.0.1 ls").status, 255);
  EXPECT_EQ(passwordChecks_, 3);
  // It would have asked five times (the last may cross the close).
  EXPECT_LE(files_.askpassCalls(), 4);
}

TEST_F(SshServerTest, LoginTimeEndsASilentConnection) {
  config_.loginTime = 300ms;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port_));
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // The server's version line comes, then nothing until the connection is closed.
  std::string received;
  pollfd wait{fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    if (::poll(&wait, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) closed = true;
    if (count > 0) received.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  EXPECT_TRUE(closed);
  EXPECT_EQ(received.rfind("SSH-2.0-", 0), 0u);
}

TEST_F(SshServerTest, AFailedKeyExchangeIsLogged) {
  testing::StderrCapture err;
  RunCommand("printf 'GET / HTTP/1.0\\r\\n\\r\\n' | nc -N -w 10 127.0.0.1 " +
             std::to_string(port_));
  const auto line = err.waitForLine("key exchange", 10s);
  ASSERT_TRUE(line) << err.text();
  EXPECT_EQ(line->rfind("velmar: SSH key exchange with 127.0.0.1 failed: ", 0), 0u) << *line;
}

TEST_F(SshServerTest, PtySessionEditsLinesAndFollowsTheWindow) {
  PtyClient client(withKey("alice") + " -tt alice@127.0.0.1", 50);
  ASSERT_TRUE(client.waitFor("> ")) << client.output();
  client.type("ls\x1b[D\x1b[D-v \r");  // cursor keys reach the server as they are
  EXPECT_TRUE(client.waitFor("got: -v ls")) << client.output();
  client.type("\x1b[A\x01X\r");  // history, then Home
  EXPECT_TRUE(client.waitFor("got: X-v ls")) << client.output();
  client.resize(33);
  client.type("w");
  EXPECT_TRUE(client.waitFor("[width 33]")) << client.output();
  client.type("\x15\x04");  // Ctrl+U, then Ctrl+D on the empty line
  EXPECT_EQ(client.exitStatus(), 0);
}

// A client that takes no output holds its connection only for the write limit: the write
// gives up, the connection is shut down and the server's thread returns.
TEST_F(SshServerTest, AClientThatReadsNothingIsCutOffAfterTheWriteLimit) {
  restartWith([](ServerConfig& config) { config.writeLimit = 300ms; });
  gFloodEnd = FloodEnd::kRunning;
  PtyClient client(withKey("alice") + " alice@127.0.0.1 flood", 80);  // its terminal is never read
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (gFloodEnd == FloodEnd::kRunning && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);  // polling the flag, bounded by the deadline
  }
  if (gFloodEnd == FloodEnd::kRunning) {
    std::lock_guard lock(fdsMutex_);
    for (const int fd : fds_) ::shutdown(fd, SHUT_RDWR);  // so that TearDown can join
  }
  EXPECT_EQ(gFloodEnd, FloodEnd::kStalled);
}

TEST_F(SshServerTest, ShuttingTheSocketDownEndsALiveSession) {
  PtyClient client(withKey("alice") + " -tt alice@127.0.0.1", 50);
  ASSERT_TRUE(client.waitFor("> ")) << client.output();
  {
    std::lock_guard lock(fdsMutex_);
    ASSERT_EQ(fds_.size(), 1u);
    ::shutdown(fds_.front(), SHUT_RDWR);  // as the service's switch-off does
  }
  EXPECT_EQ(client.exitStatus(), 255);
  // TearDown joins the connection's thread: Serve has returned.
}

TEST_F(SshServerTest, WithoutPtyLinesArePlain) {
  WriteFileText(dir_ / "input", "one\ntwo\nexit\n", fs::perms::owner_read);
  const CommandRun piped =
      RunCommand(withKey("alice") + " -T alice@127.0.0.1", (dir_ / "input").string());
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, "> got: one\ngot: two\n");
}

TEST_F(SshServerTest, ACommandOutlivesTheEndOfTheClientsInput) {
  // `ssh host cmd </dev/null` ends its input at once; a command that waits (ping, find)
  // must still run to its end and be heard.
  const CommandRun run = RunCommand(withKey("alice") + " alice@127.0.0.1 wait");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "still here\r\n");
}

}  // namespace
}  // namespace velmar::ssh
