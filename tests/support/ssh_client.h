#pragma once

// The real OpenSSH client for tests: a temporary folder with the test's keys and an askpass
// script, the command lines that log in with a key or a password (no configuration, no
// known hosts, loopback only), runs of those commands with a deadline, and a client in a
// pseudo-terminal for interactive sessions.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace velmar::testing {

// How a command ended: its exit status (-1 when it did not exit normally, 124 when the
// deadline killed it) and what it wrote.
struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `command` with /bin/sh, standard input from `input`, for at most 30 seconds.
CommandRun RunCommand(const std::string& command, const std::string& input = "/dev/null");

std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text,
                   std::filesystem::perms mode);

class SshClientFiles {
 public:
  SshClientFiles();  // a fresh folder under /tmp with the askpass script
  ~SshClientFiles();
  SshClientFiles(const SshClientFiles&) = delete;
  SshClientFiles& operator=(const SshClientFiles&) = delete;

  const std::filesystem::path& dir() const { return dir_; }

  // Makes the Ed25519 key pair dir()/NAME and dir()/NAME.pub.
  void makeKey(const std::string& name) const;
  std::string publicKey(const std::string& name) const;

  // The ssh command up to the destination: options for a server on 127.0.0.1:`port`.
  static std::string ssh(int port, const std::string& options = "");
  // Logs in with the key dir()/`key` only, never asking for anything.
  std::string withKey(int port, const std::string& key) const;
  // Logs in by password only, answering every prompt with `password` through SSH_ASKPASS.
  std::string withPassword(int port, const std::string& password) const;
  // How often the askpass script was asked so far.
  int askpassCalls() const;

 private:
  std::filesystem::path dir_;
};

// A command (the ssh client) in a pseudo-terminal of a given size, as a person would run it.
class PtyClient {
 public:
  PtyClient(const std::string& command, int width, int height = 24);
  ~PtyClient();
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  void type(const std::string& keys);
  // Changes the terminal's size (the client forwards it as a window change).
  void resize(int width, int height = 24);

  // Reads until `text` has come at or after `from` in output() (true), or `timeout` has
  // passed.
  bool waitFor(const std::string& text, std::size_t from = 0,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The exit status once the command has ended (-1 after 10 seconds or on a signal); what
  // comes meanwhile is added to output().
  int exitStatus();

  const std::string& output() const { return output_; }

 private:
  bool readSome(int timeoutMs);

  int master_ = -1;
  pid_t pid_ = -1;
  std::string output_;
};

}  // namespace velmar::testing
