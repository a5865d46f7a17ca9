#include "app/options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include <CLI/CLI.hpp>

#include "platform/executable_version.h"
#include "text/encoding.h"

namespace velmar::app {
namespace {

// About nine years: any longer and the deadline would not fit the clock's range.
constexpr double kMaxShutdownMinutes = 5e6;

constexpr const char* kDescription =
    "Velmar puts a Telnet shell on an IP-Symcon home-automation server. It checks the\n"
    "server through its JSON-RPC API (http://HOST:PORT/api/), then listens for Telnet\n"
    "clients; every client gets the \"IPS Terminal Server\" shell at once (there is no\n"
    "login) and can browse the object tree (ls, cd, show), set variables, run scripts,\n"
    "search names, see uptimes and ping hosts. Type help in the shell for the commands.\n"
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
    "Security: the Telnet shell has no login. Anyone who can reach the Telnet port controls\n"
    "the IP-Symcon server; use --listen 127.0.0.1 unless the network is trusted.\n"
    "\n"
    "Stopping: Ctrl+C, SIGTERM or the shutdown timer switch the service off in order (every\n"
    "Telnet connection is closed) and end the program with status 0.\n"
    "\n"
    "Exit status: 0 after an orderly stop, 1 when the server check fails, 2 when the Telnet\n"
    "port cannot be bound, 64 for bad options.\n";

std::string ReadPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CLI::ValidationError("--password-file", "cannot read " + path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

}  // namespace

std::string VersionText() {
  return text::Utf16ToUtf8(platform::FormatVersion(platform::OwnFileVersion(), false));
}

bool IsLoopbackAddress(const std::string& address) {
  std::string text = address;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  ParsedCommandLine result;
  Options& o = result.options;
  std::string passwordFile;

  CLI::App app(kDescription, "velmar");
  app.footer(kFooter);
  app.get_formatter()->column_width(30);
  app.set_version_flag("--version", "velmar " + VersionText(), "Print the version and exit");

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
  app.add_option("--password-file", passwordFile, "read the password from the first line of FILE")
      ->excludes(password)
      ->type_name("FILE");
  auto* telnetPort = app.add_option("--telnet-port", o.telnetPort,
                                    "Telnet port (default 23, 2323 with --demo; 0 = any free port)")
                         ->type_name("N")
                         ->check(CLI::Range(0, 65535).description(""));
  app.add_option("--console-chars", o.consoleChars, "console width in characters for Telnet output")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(1, std::numeric_limits<int>::max()).description(""));
  app.add_option("--listen", o.listen,
                 "listen only on this numeric address (repeatable; default: all)")
      ->type_name("ADDR")
      ->allow_extra_args(false)
      ->check([](const std::string& value) {
        std::string text = value;
        if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
          text = text.substr(1, text.size() - 2);
        in_addr v4{};
        in6_addr v6{};
        if (::inet_pton(AF_INET, text.c_str(), &v4) == 1 ||
            ::inet_pton(AF_INET6, text.c_str(), &v6) == 1)
          return std::string();
        return "'" + value + "' is not a numeric IPv4 or IPv6 address";
      });
  app.add_option("--shutdown-minutes", o.shutdownMinutes,
                 "switch off and exit after X minutes (0 = never; 0.05 = 3 s)")
      ->capture_default_str()
      ->type_name("X")
      ->check(CLI::Range(0.0, kMaxShutdownMinutes).description(""));
  auto* tls = app.add_flag("--tls", o.tls, "talk to the server over HTTPS");
  app.add_flag("--insecure", o.insecure, "with --tls: skip the certificate check (self-signed)")
      ->needs(tls);
  auto* demo = app.add_flag("--demo", o.demo, "serve a built-in simulated server with a demo home");
  app.add_option("--demo-port", o.demoPort,
                 "with --demo: its port on 127.0.0.1 (0 = any free port)")
      ->capture_default_str()
      ->type_name("N")
      ->check(CLI::Range(0, 65535).description(""))
      ->needs(demo);

  std::ostringstream out, err;
  try {
    app.parse(argc, argv);
    if (!std::isfinite(o.shutdownMinutes))
      throw CLI::ValidationError("--shutdown-minutes", "must be a number of minutes");
    if (!passwordFile.empty()) o.password = ReadPasswordFile(passwordFile);
    if (o.demo) {
      if (app.count("--host") > 0 || app.count("--port") > 0)
        throw CLI::ValidationError("--demo",
                                   "runs its own server on 127.0.0.1; --host and --port do "
                                   "not apply (use --demo-port)");
      if (o.tls) throw CLI::ValidationError("--demo", "the demo server speaks plain HTTP only");
      if (telnetPort->count() == 0) o.telnetPort = 2323;
      if (o.listen.empty()) o.listen = {"127.0.0.1"};
    }
  } catch (const CLI::CallForHelp& e) {
    app.exit(e, out, err);
    result.exitCode = kExitOk;
    result.out = out.str();
    return result;
  } catch (const CLI::CallForVersion& e) {
    app.exit(e, out, err);
    result.exitCode = kExitOk;
    result.out = out.str();
    return result;
  } catch (const CLI::ParseError& e) {
    result.exitCode = kExitUsage;
    result.err = "velmar: " + std::string(e.what()) + "\n" +
                 "Usage: velmar [--host TEXT] [--port N] [--username TEXT] [--password TEXT | "
                 "--password-file FILE] [--telnet-port N] [--console-chars N] [--listen "
                 "ADDR]... [--shutdown-minutes X] [--tls [--insecure]] [--demo [--demo-port "
                 "N]]\n"
                 "Run 'velmar --help' for what each option does.\n";
    return result;
  }
  result.run = true;
  return result;
}

}  // namespace velmar::app
