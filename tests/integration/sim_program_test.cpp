// The velmar-sim program: announces where it listens, serves, and stops cleanly on a signal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kProgram = std::string(VELMAR_BIN_DIR) + "/velmar-sim";

struct Running {
  pid_t pid = -1;
  int out = -1;
};

Running Launch(std::vector<std::string> args) {
  // Everything the child needs is prepared before fork: other threads of this process may hold
  // the allocator's lock at that moment.
  std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::close(pipeFds[0]);
    ::execv(kProgram.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  return {pid, pipeFds[0]};
}

// Output of the program up to a newline (or its end), waiting at most five seconds.
std::string ReadLine(int fd) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

// The exit status once the process ends, or -1 if it still runs at the deadline. The end of its
// output (the pipe closes when it exits) is the event waited for.
int WaitExit(const Running& running) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd p{running.out, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char chunk[256];
    ended = ::read(running.out, chunk, sizeof chunk) <= 0;
  }
  if (!ended) ::kill(running.pid, SIGKILL);
  int status = 0;
  ::waitpid(running.pid, &status, 0);
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string Post(int port, const std::string& body) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return "<no connection>";
  }
  std::string request = "POST /api/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body;
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char chunk[4096];
  ssize_t n;
  while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  return reply.substr(reply.find("\r\n\r\n") + 4);
}

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kProgram)) GTEST_SKIP() << kProgram << " is not built";
  }
};

TEST_F(SimProgram, ServesTheGivenTreeAndStopsOnSignals) {
  const std::string tree =
      (std::filesystem::temp_directory_path() / ("velmar-sim-tree-" + std::to_string(::getpid())))
          .string();
  std::ofstream(tree) << R"({"objects":[{"id":12345,"name":"Keller"}]})";
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Running sim = Launch({"--port", "0", "--tree", tree, "--kernel-version", "5.2",
                          "--kernel-start", "1600000000", "--username", "u", "--password", "p"});
    ASSERT_GT(sim.pid, 0);
    const std::string line = ReadLine(sim.out);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        line, m, std::regex(R"(velmar-sim listening on http://127\.0\.0\.1:(\d+)/api/)")))
        << line;
    const int port = std::stoi(m[1]);
    // Credentials are required, so an anonymous request is refused.
    EXPECT_EQ(Post(port, R"({"method":"IPS_GetName","params":[12345],"id":1})").find("jsonrpc"),
              std::string::npos);
    ::kill(sim.pid, signal);
    EXPECT_EQ(WaitExit(sim), 0);
    ::close(sim.out);
  }
  std::filesystem::remove(tree);

  Running sim = Launch({"--port", "0", "--kernel-start", "1600000000"});
  const std::string line = ReadLine(sim.out);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(:(\d+)/api/)"))) << line;
  EXPECT_EQ(Post(std::stoi(m[1]), R"({"method":"IPS_GetKernelStartTime","params":[],"id":1})"),
            R"({"jsonrpc":"2.0","result":1600000000,"id":1})");
  EXPECT_EQ(Post(std::stoi(m[1]), R"({"method":"IPS_GetName","params":[0],"id":1})"),
            R"({"jsonrpc":"2.0","result":"IP-Symcon","id":1})");
  ::kill(sim.pid, SIGTERM);
  EXPECT_EQ(WaitExit(sim), 0);
  ::close(sim.out);
}

TEST_F(SimProgram, ReportsStartFailures) {
  Running bad = Launch({"--port", "0", "--tree", "/nonexistent/tree.json"});
  EXPECT_NE(ReadLine(bad.out).find("/nonexistent/tree.json"), std::string::npos);
  EXPECT_NE(WaitExit(bad), 0);
  ::close(bad.out);

  const std::string tree =
      (std::filesystem::temp_directory_path() / ("velmar-sim-bad-" + std::to_string(::getpid())))
          .string();
  std::ofstream(tree) << R"({"objects":[{"id":12345,"parent":777}]})";
  Running broken = Launch({"--port", "0", "--tree", tree});
  EXPECT_EQ(ReadLine(broken.out), "velmar-sim: tree: object 12345: parent 777 does not exist");
  EXPECT_EQ(WaitExit(broken), 1);
  ::close(broken.out);
  std::filesystem::remove(tree);
}

}  // namespace
