// The command line of velmar-load.
#pragma once

#include <string>
#include <vector>

namespace velmar::load {

struct Args {
  std::string mode = "bench";
  int telnetPort = 0;
  int simPort = 0;
  int velmarPid = 0;
  int simPid = 0;
  std::string velmarPath;
  std::vector<long> sessions = {1, 50, 200, 1000};
  std::vector<long> rounds = {20, 4, 2, 1};
  long lsRepeats = 15;
  std::vector<long> roundTrips = {0, 1, 5};  // ms, for the rows over the latency proxy
  long latencyRepeats = 3;
  long soakSeconds = 600;
  // The SSH table (off without a users file): velmar-load starts velmars of its own with these,
  // against the simulator at simPort.
  std::string usersFile;
  std::string authorizedKeysDir;
  std::string sshKey;  // private key whose public half is in the user's authorized_keys file
  std::string loginUser;
  std::string loginPassword;
  long sshSessions = 200;  // idle sessions of each transport for the memory figures
  long logins = 20;        // timed logins of each kind
  long crowd = 1000;       // password logins sent at once for the peak memory (0: none)
  // The watch rows (velmar-load starts velmars of its own against the simulator at simPort).
  std::vector<long> watchRoundTrips = {0, 1};  // ms; empty: no watch rows
  long watchRounds = 20;                       // rounds measured per round trip
  long watchSessions = 20;                     // sessions watching at once; 0: none
  long watchSeconds = 12;                      // how long they watch
};

// Stops the program with a usage line on a missing or unknown option.
Args parseArgs(int argc, char** argv);

}  // namespace velmar::load
