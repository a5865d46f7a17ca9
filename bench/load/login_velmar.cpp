#include "login_velmar.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "load_common.h"

extern char** environ;

namespace velmar::load {

namespace {

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The velmars started here and still running: stopped when the program ends early (fail()).
std::vector<pid_t>& running() {
  static std::vector<pid_t> pids;
  return pids;
}

void stopRunning() {
  for (const pid_t pid : running()) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  running().clear();
}

int portAfter(const std::string& text, const std::string& marker) {
  const auto at = text.find(marker);
  if (at == std::string::npos || text.find('\n', at) == std::string::npos) return 0;
  return std::atoi(text.c_str() + at + marker.size());
}

}  // namespace

LoginVelmar::LoginVelmar(const Args& args, const std::string& name) {
  const std::string dir = directoryOf(args.usersFile);
  errPath_ = dir + "/" + name + ".err";
  std::vector<std::string> argv = {
      args.velmarPath, "--host", "127.0.0.1", "--port", std::to_string(args.simPort),
      "--telnet-port", "0", "--listen", "127.0.0.1", "--shutdown-minutes", "0",
      // All sessions come from one address, or a few.
      "--max-connections", "4096", "--max-per-address", "4096", "--users", args.usersFile,
      "--ssh-port", "0", "--ssh-host-key", dir + "/ssh_host_ed25519_key", "--ssh-authorized-keys",
      args.authorizedKeysDir};
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  const int rc =
      posix_spawn(&pid_, args.velmarPath.c_str(), &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) fail("cannot start " + args.velmarPath);
  static const bool registered = std::atexit(stopRunning) == 0;
  (void)registered;
  running().push_back(pid_);
  // "velmar: Telnet listening on 127.0.0.1:PORT", later "velmar: SSH listening on ..."
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (telnetPort_ == 0 || sshPort_ == 0) {
    if (Clock::now() > deadline) fail("the velmar with users did not start: " + errors());
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      forget();
      fail("the velmar with users ended: " + errors());
    }
    const std::string err = errors();
    telnetPort_ = portAfter(err, "Telnet listening on 127.0.0.1:");
    sshPort_ = portAfter(err, "SSH listening on 127.0.0.1:");
    poll(nullptr, 0, 20);
  }
}

LoginVelmar::~LoginVelmar() {
  if (pid_ == 0) return;
  kill(pid_, SIGTERM);
  // Switch-off closes every session and joins every thread; bounded all the same.
  int status = 0;
  for (int i = 0; i < 1000 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) {
    if (i == 999) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    poll(nullptr, 0, 20);
  }
  forget();
}

void LoginVelmar::forget() {
  auto& pids = running();
  pids.erase(std::remove(pids.begin(), pids.end(), pid_), pids.end());
  pid_ = 0;
}

std::string LoginVelmar::errors() const {
  std::ifstream in(errPath_);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace velmar::load
