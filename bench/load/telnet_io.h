// Blocking and non-blocking Telnet sockets on loopback, and the reference replies of one
// session that every other session's replies are compared with.
#pragma once

#include <string>
#include <vector>

namespace velmar::load {

int connectLoopback(int port, bool blocking);
void writeAll(int fd, const std::string& data);

// Reads from a blocking socket until the text ends with a prompt and nothing more follows for
// a moment. Used only to capture the reference replies of a single session.
std::string readUntilPrompt(int fd);

// Reads from a blocking socket until the text ends with `suffix`; stops the program when the
// connection closes first or after 30 seconds.
std::string readUntilSuffix(int fd, const std::string& suffix);

// Connects to a velmar with a users file and logs in with name and password as a raw client
// would (no Telnet negotiation); returns the blocking socket once the shell's prompt is shown.
int telnetLogin(int port, const std::string& user, const std::string& password);

// Reads exactly `expected` from a blocking socket; false when the bytes differ.
bool readExpected(int fd, const std::string& expected);

struct Reference {
  std::string greeting;
  std::vector<std::string> replies;  // one per command of the mix
};

// The greeting and the reply to each command of the mix, from one session.
Reference captureReference(int telnetPort);

}  // namespace velmar::load
