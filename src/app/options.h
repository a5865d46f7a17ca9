// The command line of the headless `velmar`: the control window's fields as options, plus the
// settings that the window fixes (shutdown interval, listen addresses, TLS) and the demo.
#pragma once

#include <string>
#include <vector>

namespace velmar::app {

// Exit codes of `velmar`.
inline constexpr int kExitOk = 0;
inline constexpr int kExitServerCheck = 1;  // the server check (or the demo server) failed
inline constexpr int kExitListen = 2;       // the Telnet or SSH port could not be bound
inline constexpr int kExitUsage = 64;       // bad options, users file or host key (EX_USAGE)

struct Options {
  std::string host = "127.0.0.1";  // UTF-8, as the other texts
  int port = 3777;
  std::string username;
  std::string password;
  int telnetPort = 23;  // 2323 with --demo unless given
  int consoleChars = 80;
  int requestTimeoutSeconds = 60;  // 0: wait for ever
  int maxReplyMib = 32;
  std::vector<std::string> listen;  // numeric addresses; empty: IPv4 and IPv6 wildcards
  double shutdownMinutes = 10;      // 0: never
  bool tls = false;
  bool insecure = false;
  bool demo = false;
  int demoPort = 3777;   // 0: any free port
  std::string users;     // the users file; empty: no login
  std::string auditLog;  // the audit lines are appended here too; empty: stderr only
  bool readOnly = false;
  int maxConnections = 1000;      // 0: no limit
  int maxPerAddress = 64;         // 0: no limit
  int sshPort = -1;               // -1: no SSH; 0: any free port
  std::string sshHostKey;         // empty: the default place (see ssh::DefaultHostKeyPath)
  std::string sshAuthorizedKeys;  // folder of authorized_keys files by user; empty: no keys
  bool httpReuse = true;          // keep server connections open between requests
  int parallelRequests = 4;       // requests a listing has in flight at once
  int idleMinutes = 60;           // a session idle at its prompt this long is closed; 0: never
};

// What the command line asks for: run with `options`, or end at once with `exitCode` after
// printing `out` to stdout and `err` to stderr (help, version, usage errors).
struct ParsedCommandLine {
  bool run = false;
  Options options;
  int exitCode = kExitOk;
  std::string out;
  std::string err;
};

// Parses and checks the arguments (argv[0] is the program name). Reads --password-file.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

// The version as `velmar --version` and the greeting show it ("2.0.7").
std::string VersionText();

// Whether `address` (numeric IPv4 or IPv6, IPv6 optionally in brackets) is a loopback address.
bool IsLoopbackAddress(const std::string& address);

}  // namespace velmar::app
