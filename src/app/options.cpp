#include "app/options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include <CLI/CLI.hpp>

#include "app/controller.h"
#include "platform/executable_version.h"
#include "platform/socket_address.h"
#include "text/encoding.h"

namespace velmar::app {
namespace {

// About nine years: any longer and the deadline would not fit the clock's range.
constexpr double kMaxShutdownMinutes = 5e6;
constexpr int kMaxRequestTimeoutSeconds = 86400;
constexpr int kMaxReplyMib = 4096;
constexpr int kMaxIdleMinutes = 525600;  // a year

constexpr const char* kDescription =
    "Velmar puts a Telnet shell on an IP-Symcon home-automation server. It checks the\n"
    "server through its JSON-RPC API (http://HOST:PORT/api/), then listens for Telnet\n"
    "clients; every client gets the \"IPS Terminal Server\" shell (at once, or after a\n"
    "login with --users) and can browse the object tree (ls, cd, show), set variables, run\n"
    "scripts, search names, see uptimes and ping hosts. Type help in the shell for the\n"
    "commands.\n"
    "\n"
    "stdout carries only the service's states, one line each as they change:\n"
    "\"IPS Version <v> detected.\", \"Connected\", \"Online\", and at the end \"Offline\",\n"
    "\"Disconected\". Everything else (where to connect, warnings, errors) goes to stderr.\n";

constexpr const char* kFooter =
    "\n"
    "Examples:\n"
    "  velmar --demo                      try it out against a simulated server with a demo\n"
    "                                     home, then: telnet 127.0.0.1 2323\n"
    "  velmar --listen 127.0.0.1 --telnet-port 2323\n"
    "                                     serve the IP-Symcon server on this machine\n"
    "  velmar --host 192.168.1.10 --port 82 --username me@example.com \\\n"
    "         --password-file /etc/velmar/password --shutdown-minutes 0\n"
    "                                     a remote server's web-server port; runs until stopped\n"
    "\n"
    "Connecting to IP-Symcon: port 3777 answers only on the server's own machine and needs no\n"
    "credentials. From another machine use a port of one of the server's web servers (for\n"
    "example 82, or 443 with --tls) with the licence user name (an e-mail address) and the\n"
    "remote-access password.\n"
    "\n"
    "Security: without --users there is no login. Anyone who can reach the Telnet port then\n"
    "controls the IP-Symcon server; use --listen 127.0.0.1 unless the network is trusted.\n"
    "With --users FILE (made with velmar-passwd) every client logs in; level 1 may look\n"
    "around (help, ls, cd, show, find, uptime), level 5 also set, run and ping, level 10 also\n"
    "who. Telnet itself is not encrypted: passwords cross the network in clear text.\n"
    "\n"
    "SSH: --ssh-port N (2222, say) serves the same shell over SSH to the users of --users,\n"
    "encrypted, with line editing, history (Up/Down) and Tab completion. They log in with\n"
    "their password or with a key listed in DIR/NAME (--ssh-authorized-keys DIR, one file in\n"
    "authorized_keys format per user name). The host key is made on the first start (Ed25519)\n"
    "and its fingerprint printed at every start. A command after the host runs without\n"
    "greeting or prompt: ssh -p 2222 alice@host 'cd 12345; ls -v'. Its exit status is 0, 1\n"
    "when a command could not do its work (the list stops there), 2 for \"Permission\n"
    "denied.\", 255 when the IP-Symcon server could not be reached.\n"
    "Audit lines (connections, logins, refusals, set and run) go to stderr as\n"
    "\"velmar: audit: ...\". SIGHUP reloads the users file and reopens the audit log.\n"
    "\n"
    "Stopping: Ctrl+C, SIGTERM or the shutdown timer switch the service off in order (every\n"
    "Telnet and SSH connection is closed) and end the program with status 0.\n"
    "\n"
    "Exit status: 0 after an orderly stop, 1 when the server check fails, 2 when the Telnet\n"
    "or SSH port cannot be bound, 64 for bad options, a bad users file or an unusable host key.\n";

std::string ReadPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CLI::ValidationError("--password-file", "cannot read " + path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

// The options in the order --help lists them, one group per function, so that an option is
// added (or changed) in one place. The values land in `o`; what needs a look after parsing is
// kept in `later`.
struct ParseState {
  std::string passwordFile;
  CLI::Option* telnetPort = nullptr;
  std::string httpReuse = "on";
};

void AddServerOptions(CLI::App& app, Options& o, ParseState& later) {
  app.add_option("--host", o.host, "IP-Symcon server host name or address")
      ->capture_default_str()
      ->type_name("TEXT")
      ->check([](const std::string& value) {
        return value.empty() ? std::string("must not be empty") : std::string();
      });
  app.add_option("--port", o.port, "IP-Symcon server port")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(1, 65535).description(""));
  app.add_option("--username", o.username, "user name for the server (not needed on port 3777)");
  auto* password =
      app.add_option("--password", o.password,
                     "password for the server (others can see it: prefer --password-file)");
  app.add_option("--password-file", later.passwordFile,
                 "read the password from the first line of FILE")
      ->excludes(password)
      ->type_name("FILE");
  app.add_option("--request-timeout", o.requestTimeoutSeconds,
                 "give up on a server reply after SECONDS (0 = wait for ever)")
      ->capture_default_str()
      ->type_name("SECONDS")
      ->check(CLI::Range(0, kMaxRequestTimeoutSeconds).description(""));
  app.add_option("--max-reply-mib", o.maxReplyMib, "refuse server replies larger than N MiB")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(1, kMaxReplyMib).description(""));
}

void AddTelnetOptions(CLI::App& app, Options& o, ParseState& later) {
  later.telnetPort = app.add_option("--telnet-port", o.telnetPort,
                                    "Telnet port (default 23, 2323 with --demo; 0 = any free port)")
                         ->type_name("N")
                         ->check(CLI::Range(0, 65535).description(""));
  app.add_option("--console-chars", o.consoleChars, "console width in characters for Telnet output")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(1, kMaxConsoleChars).description(""));
  app.add_option("--listen", o.listen,
                 "listen only on this numeric address (repeatable; default: all)")
      ->type_name("ADDR")
      ->allow_extra_args(false)
      ->check([](const std::string& value) {
        if (platform::ParseNumericAddress(value, 0)) return std::string();
        return "'" + value + "' is not a numeric IPv4 or IPv6 address";
      });
}

void AddShutdownOption(CLI::App& app, Options& o) {
  app.add_option("--shutdown-minutes", o.shutdownMinutes,
                 "switch off and exit after X minutes (0 = never; 0.05 = 3 s)")
      ->capture_default_str()
      ->type_name("X")
      ->check(CLI::Range(0.0, kMaxShutdownMinutes).description(""));
}

void AddTlsOptions(CLI::App& app, Options& o) {
  auto* tls = app.add_flag("--tls", o.tls, "talk to the server over HTTPS");
  app.add_flag("--insecure", o.insecure, "with --tls: skip the certificate check (self-signed)")
      ->needs(tls);
}

void AddConnectionOptions(CLI::App& app, Options& o, ParseState& later) {
  app.add_option("--http-reuse", later.httpReuse,
                 "keep server connections open between requests (off: a new one per request)")
      ->capture_default_str()
      ->type_name("on|off")
      ->check(CLI::IsMember({"on", "off"}));
  app.add_option("--parallel-requests", o.parallelRequests,
                 "requests that a listing has in flight at once (1 = one at a time)")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(1, 64).description(""));
}

void AddDemoOptions(CLI::App& app, Options& o) {
  auto* demo = app.add_flag("--demo", o.demo, "serve a built-in simulated server with a demo home");
  app.add_option("--demo-port", o.demoPort,
                 "with --demo: its port on 127.0.0.1 (0 = any free port)")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(0, 65535).description(""))
      ->needs(demo);
}

// Login, levels, read-only mode, audit trail and connection limits of the Telnet shell.
void AddAccessOptions(CLI::App& app, Options& o) {
  app.add_option("--users", o.users,
                 "users file (NAME:LEVEL:HASH lines, made with velmar-passwd): clients must log "
                 "in; SIGHUP reloads it")
      ->type_name("FILE");
  app.add_option("--audit-log", o.auditLog,
                 "append the audit lines to FILE as well as stderr (reopened on SIGHUP)")
      ->type_name("FILE");
  app.add_flag("--read-only", o.readOnly, "refuse set and run for everyone");
  app.add_option("--max-connections", o.maxConnections,
                 "connections (Telnet and SSH) at most at once (0 = no limit)")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()).description(""));
  app.add_option("--max-per-address", o.maxPerAddress,
                 "connections (Telnet and SSH) at most from one address (0 = no limit)")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()).description(""));
  app.add_option("--idle-minutes", o.idleMinutes,
                 "close a session that has waited at its prompt N minutes without input (0 = "
                 "never)")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(0, kMaxIdleMinutes).description(""));
}

// The SSH front end.
void AddSshOptions(CLI::App& app, Options& o) {
  auto* port = app.add_option("--ssh-port", o.sshPort,
                              "serve the shell over SSH on port N too (needs --users; 0 = any "
                              "free port)")
                   ->type_name("N")
                   ->check(CLI::Range(0, 65535).description(""));
  app.add_option("--ssh-host-key", o.sshHostKey,
                 "the SSH host key (made on first start; default $STATE_DIRECTORY, else "
                 "$XDG_STATE_HOME/velmar or ~/.local/state/velmar: ssh_host_ed25519_key)")
      ->type_name("FILE")
      ->needs(port);
  app.add_option("--ssh-authorized-keys", o.sshAuthorizedKeys,
                 "key logins: DIR/NAME lists the keys of user NAME (authorized_keys format)")
      ->type_name("DIR")
      ->needs(port);
}

// What the options say together, after parsing: checks across options, the password file,
// and the defaults that --demo changes. Raises CLI::ValidationError.
void CompleteOptions(const CLI::App& app, Options& o, const ParseState& later) {
  if (!std::isfinite(o.shutdownMinutes))
    throw CLI::ValidationError("--shutdown-minutes", "must be a number of minutes");
  if (!later.passwordFile.empty()) o.password = ReadPasswordFile(later.passwordFile);
  o.httpReuse = later.httpReuse == "on";
  if (o.demo) {
    if (app.count("--host") > 0 || app.count("--port") > 0)
      throw CLI::ValidationError("--demo",
                                 "runs its own server on 127.0.0.1; --host and --port do "
                                 "not apply (use --demo-port)");
    if (o.tls) throw CLI::ValidationError("--demo", "the demo server speaks plain HTTP only");
    if (later.telnetPort->count() == 0) o.telnetPort = 2323;
    if (o.listen.empty()) o.listen = {"127.0.0.1"};
  }
  if (o.sshPort >= 0 && o.users.empty())
    throw CLI::ValidationError("--ssh-port", "SSH logs its users in: give a users file (--users)");
  if (o.sshPort > 0 && o.sshPort == o.telnetPort)
    throw CLI::ValidationError("--ssh-port", "must differ from the Telnet port");
}

ParsedCommandLine UsageError(const CLI::ParseError& e) {
  ParsedCommandLine result;
  result.exitCode = kExitUsage;
  result.err = "velmar: " + std::string(e.what()) + "\n" +
               "Usage: velmar [--host TEXT] [--port N] [--username TEXT] [--password TEXT | "
               "--password-file FILE] [--request-timeout SECONDS] [--max-reply-mib N] "
               "[--telnet-port N] [--console-chars N] [--listen "
               "ADDR]... [--shutdown-minutes X] [--tls [--insecure]] [--http-reuse on|off] "
               "[--parallel-requests N] [--demo [--demo-port N]] [--users FILE] [--audit-log "
               "FILE] [--read-only] [--max-connections N] [--max-per-address N] [--idle-minutes N] "
               "[--ssh-port N "
               "[--ssh-host-key FILE] [--ssh-authorized-keys DIR]]\n"
               "Run 'velmar --help' for what each option does.\n";
  return result;
}

// --help and --version: the text on stdout, exit 0.
ParsedCommandLine PrintedAndDone(const CLI::App& app, const CLI::ParseError& e) {
  std::ostringstream out, err;
  app.exit(e, out, err);
  ParsedCommandLine result;
  result.exitCode = kExitOk;
  result.out = out.str();
  return result;
}

}  // namespace

std::string VersionText() {
  return text::Utf16ToUtf8(platform::FormatVersion(platform::OwnFileVersion(), false));
}

bool IsLoopbackAddress(const std::string& address) {
  const auto parsed = platform::ParseNumericAddress(address, 0);
  if (!parsed) return false;
  if (parsed->family() == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&parsed->storage);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&parsed->storage)->sin6_addr;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  ParsedCommandLine result;
  ParseState later;

  CLI::App app(kDescription, "velmar");
  app.footer(kFooter);
  app.get_formatter()->column_width(30);
  app.set_version_flag("--version", "velmar " + VersionText(), "Print the version and exit");
  AddServerOptions(app, result.options, later);
  AddTelnetOptions(app, result.options, later);
  AddShutdownOption(app, result.options);
  AddTlsOptions(app, result.options);
  AddConnectionOptions(app, result.options, later);
  AddDemoOptions(app, result.options);
  AddAccessOptions(app, result.options);
  AddSshOptions(app, result.options);

  try {
    app.parse(argc, argv);
    CompleteOptions(app, result.options, later);
  } catch (const CLI::CallForHelp& e) {
    return PrintedAndDone(app, e);
  } catch (const CLI::CallForVersion& e) {
    return PrintedAndDone(app, e);
  } catch (const CLI::ParseError& e) {
    return UsageError(e);
  }
  result.run = true;
  return result;
}

}  // namespace velmar::app
