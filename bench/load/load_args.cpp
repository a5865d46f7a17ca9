#include "load_args.h"

#include <cstdlib>
#include <sstream>

#include "load_common.h"

namespace velmar::load {

namespace {

std::vector<long> parseList(const std::string& text) {
  std::vector<long> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atol(item.c_str()));
  return out;
}

}  // namespace

Args parseArgs(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (i + 1 >= argc) fail("missing value for " + key);
    const std::string value = argv[++i];
    if (key == "--mode")
      a.mode = value;
    else if (key == "--telnet-port")
      a.telnetPort = std::atoi(value.c_str());
    else if (key == "--sim-port")
      a.simPort = std::atoi(value.c_str());
    else if (key == "--velmar-pid")
      a.velmarPid = std::atoi(value.c_str());
    else if (key == "--sim-pid")
      a.simPid = std::atoi(value.c_str());
    else if (key == "--velmar")
      a.velmarPath = value;
    else if (key == "--sessions")
      a.sessions = parseList(value);
    else if (key == "--rounds")
      a.rounds = parseList(value);
    else if (key == "--ls-repeats")
      a.lsRepeats = std::atol(value.c_str());
    else if (key == "--round-trips")
      a.roundTrips = value == "none" ? std::vector<long>{} : parseList(value);
    else if (key == "--latency-repeats")
      a.latencyRepeats = std::atol(value.c_str());
    else if (key == "--seconds")
      a.soakSeconds = std::atol(value.c_str());
    else if (key == "--users")
      a.usersFile = value;
    else if (key == "--ssh-authorized-keys")
      a.authorizedKeysDir = value;
    else if (key == "--ssh-key")
      a.sshKey = value;
    else if (key == "--login-user")
      a.loginUser = value;
    else if (key == "--login-password")
      a.loginPassword = value;
    else if (key == "--ssh-sessions")
      a.sshSessions = std::atol(value.c_str());
    else if (key == "--logins")
      a.logins = std::atol(value.c_str());
    else if (key == "--crowd")
      a.crowd = std::atol(value.c_str());
    else if (key == "--watch-round-trips")
      a.watchRoundTrips = value == "none" ? std::vector<long>{} : parseList(value);
    else if (key == "--watch-rounds")
      a.watchRounds = std::atol(value.c_str());
    else if (key == "--watch-sessions")
      a.watchSessions = std::atol(value.c_str());
    else if (key == "--watch-seconds")
      a.watchSeconds = std::atol(value.c_str());
    else
      fail("unknown option " + key);
  }
  if (a.telnetPort == 0 || a.velmarPid == 0 || a.simPid == 0) {
    fail(
        "usage: velmar-load --telnet-port N --velmar-pid P --sim-pid P [--sim-port N "
        "--velmar PATH] [--mode bench|soak] [--sessions 1,50,...] [--rounds 20,4,...] "
        "[--ls-repeats N] [--round-trips 0,1,5|none] [--latency-repeats N] [--seconds N] "
        "[--watch-round-trips 0,1|none] [--watch-rounds N] [--watch-sessions K] "
        "[--watch-seconds S] "
        "[--users FILE --ssh-authorized-keys DIR --ssh-key FILE --login-user NAME "
        "--login-password TEXT [--ssh-sessions K] [--logins N] [--crowd N]]");
  }
  if (!a.usersFile.empty() &&
      (a.velmarPath.empty() || a.simPort == 0 || a.authorizedKeysDir.empty() || a.sshKey.empty() ||
       a.loginUser.empty() || a.loginPassword.empty())) {
    fail(
        "--users needs --velmar, --sim-port, --ssh-authorized-keys, --ssh-key, --login-user and "
        "--login-password");
  }
  if (a.sshSessions < 1 || a.sshSessions > 200) fail("--ssh-sessions must be 1 to 200");
  if (a.logins < 1 || a.logins > 200) fail("--logins must be 1 to 200");
  if (a.crowd < 0 || a.crowd > 4000) fail("--crowd must be 0 to 4000");
  if (a.watchRounds < 1 || a.watchRounds > 1000) fail("--watch-rounds must be 1 to 1000");
  if (a.watchSessions < 0 || a.watchSessions > 200) fail("--watch-sessions must be 0 to 200");
  if (a.watchSeconds < 1 || a.watchSeconds > 600) fail("--watch-seconds must be 1 to 600");
  if (a.rounds.size() < a.sessions.size()) a.rounds.resize(a.sessions.size(), 1);
  return a;
}

}  // namespace velmar::load
