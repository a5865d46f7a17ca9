#include "support/ssh_client.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/error.h"

namespace velmar::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

CommandRun RunCommand(const std::string& command, const std::string& input) {
  CommandRun run;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }
  const std::string line = "exec " + command + " <" + input;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);  // its own group, so that the deadline reaches every process it starts
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  const auto deadline = Clock::now() + 30s;
  bool killed = false;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (pid > 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
    if (!killed && Clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      killed = true;
    }
    if (::poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count <= 0) {
        fds[i].fd = -1;
        continue;
      }
      (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(count));
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    run.status = killed ? 124 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return run;
}

std::string ReadFileText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFileText(const fs::path& path, const std::string& text, fs::perms mode) {
  std::ofstream(path) << text;
  fs::permissions(path, mode);
}

SshClientFiles::SshClientFiles() {
  char name[] = "/tmp/velmar-ssh-XXXXXX";
  if (::mkdtemp(name) == nullptr) throw Error("mkdtemp failed");
  dir_ = name;
  WriteFileText(dir_ / "askpass",
                "#!/bin/sh\necho x >> \"$ASKPASS_LOG\"\nprintf '%s\\n' \"$TEST_PASSWORD\"\n",
                fs::perms::owner_all);
}

SshClientFiles::~SshClientFiles() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void SshClientFiles::makeKey(const std::string& name) const {
  const CommandRun run = RunCommand("ssh-keygen -q -t ed25519 -N '' -C " + Quoted(name) + " -f " +
                                    Quoted((dir_ / name).string()));
  if (run.status != 0) throw Error("ssh-keygen failed: " + run.err);
}

std::string SshClientFiles::publicKey(const std::string& name) const {
  return ReadFileText(dir_ / (name + ".pub"));
}

std::string SshClientFiles::ssh(int port, const std::string& options) {
  return "ssh -F /dev/null -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
         "-o LogLevel=ERROR -o IdentitiesOnly=yes -o IdentityAgent=none "
         "-o ConnectTimeout=10 -p " +
         std::to_string(port) + " " + options;
}

std::string SshClientFiles::withKey(int port, const std::string& key) const {
  return ssh(port, "-o BatchMode=yes -o PreferredAuthentications=publickey -i " +
                       Quoted((dir_ / key).string()));
}

std::string SshClientFiles::withPassword(int port, const std::string& password) const {
  return "env SSH_ASKPASS=" + Quoted((dir_ / "askpass").string()) +
         " SSH_ASKPASS_REQUIRE=force DISPLAY=none ASKPASS_LOG=" +
         Quoted((dir_ / "askpass.log").string()) + " TEST_PASSWORD=" + Quoted(password) + " " +
         ssh(port,
             "-o PreferredAuthentications=password -o PubkeyAuthentication=no "
             "-o NumberOfPasswordPrompts=5");
}

int SshClientFiles::askpassCalls() const {
  const std::string log = ReadFileText(dir_ / "askpass.log");
  return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

PtyClient::PtyClient(const std::string& command, int width, int height) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(width);
  size.ws_row = static_cast<unsigned short>(height);
  const std::string line = "exec " + command;  // the child of a threaded test only execs
  pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
  if (pid_ == 0) {
    ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) throw Error("forkpty failed");
}

PtyClient::~PtyClient() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(master_);
}

void PtyClient::type(const std::string& keys) {
  (void)!::write(master_, keys.data(), keys.size());
}

void PtyClient::resize(int width, int height) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(width);
  size.ws_row = static_cast<unsigned short>(height);
  ::ioctl(master_, TIOCSWINSZ, &size);
}

bool PtyClient::readSome(int timeoutMs) {
  pollfd wait{master_, POLLIN, 0};
  if (::poll(&wait, 1, timeoutMs) <= 0) return true;
  char buffer[4096];
  const ssize_t count = ::read(master_, buffer, sizeof buffer);
  if (count <= 0) return false;  // the client has gone
  output_.append(buffer, static_cast<std::size_t>(count));
  return true;
}

bool PtyClient::waitFor(const std::string& text, std::size_t from,
                        std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (output_.size() < from || output_.find(text, from) == std::string::npos) {
    if (Clock::now() > deadline || !readSome(100)) return false;
  }
  return true;
}

int PtyClient::exitStatus() {
  int status = 0;
  const auto deadline = Clock::now() + 10s;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) return -1;
    if (!readSome(10)) std::this_thread::sleep_for(10ms);  // keeps the pty drained
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velmar::testing
