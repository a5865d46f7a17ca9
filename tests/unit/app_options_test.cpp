// What the command line of `velmar` turns into; the exit codes and messages of bad options are
// checked end to end in the integration tests.
#include "app/options.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmar::app {
namespace {

ParsedCommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "velmar");
  std::vector<const char*> argv;
  for (const auto& arg : args) argv.push_back(arg.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(OptionsTest, NoOptionsGiveTheDefaults) {
  ParsedCommandLine parsed = Parse({});
  ASSERT_TRUE(parsed.run) << parsed.err;
  const Options& o = parsed.options;
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 3777);
  EXPECT_EQ(o.username, "");
  EXPECT_EQ(o.password, "");
  EXPECT_EQ(o.telnetPort, 23);
  EXPECT_EQ(o.consoleChars, 80);
  EXPECT_EQ(o.requestTimeoutSeconds, 60);
  EXPECT_EQ(o.maxReplyMib, 32);
  EXPECT_TRUE(o.listen.empty());
  EXPECT_DOUBLE_EQ(o.shutdownMinutes, 10);
  EXPECT_FALSE(o.tls);
  EXPECT_FALSE(o.demo);
}

TEST(OptionsTest, DemoDefaultsToALocalTelnetPort2323UnlessTold) {
  ParsedCommandLine demo = Parse({"--demo"});
  ASSERT_TRUE(demo.run) << demo.err;
  EXPECT_EQ(demo.options.telnetPort, 2323);
  EXPECT_EQ(demo.options.listen, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(demo.options.demoPort, 3777);

  ParsedCommandLine told =
      Parse({"--demo", "--telnet-port", "23", "--listen", "::1", "--demo-port", "0"});
  ASSERT_TRUE(told.run) << told.err;
  EXPECT_EQ(told.options.telnetPort, 23);
  EXPECT_EQ(told.options.listen, std::vector<std::string>{"::1"});
  EXPECT_EQ(told.options.demoPort, 0);
}

TEST(OptionsTest, ValuesAreTakenAsGiven) {
  ParsedCommandLine parsed = Parse({"--host",     "ips.example.com",    "--port",
                                    "82",         "--username",         "me@example.com",
                                    "--password", "pässwort",           "--telnet-port",
                                    "0",          "--console-chars",    "132",
                                    "--listen",   "127.0.0.1",          "--listen",
                                    "[::1]",      "--shutdown-minutes", "0.05",
                                    "--tls",      "--insecure",         "--request-timeout",
                                    "0",          "--max-reply-mib",    "1"});
  ASSERT_TRUE(parsed.run) << parsed.err;
  const Options& o = parsed.options;
  EXPECT_EQ(o.host, "ips.example.com");
  EXPECT_EQ(o.port, 82);
  EXPECT_EQ(o.username, "me@example.com");
  EXPECT_EQ(o.password, "pässwort");
  EXPECT_EQ(o.telnetPort, 0);
  EXPECT_EQ(o.consoleChars, 132);
  EXPECT_EQ(o.requestTimeoutSeconds, 0);
  EXPECT_EQ(o.maxReplyMib, 1);
  EXPECT_EQ(o.listen, (std::vector<std::string>{"127.0.0.1", "[::1]"}));
  EXPECT_DOUBLE_EQ(o.shutdownMinutes, 0.05);
  EXPECT_TRUE(o.tls);
  EXPECT_TRUE(o.insecure);
}

TEST(OptionsTest, LimitsAreCheckedAtTheirEdges) {
  struct Case {
    std::vector<std::string> args;
    bool accepted;
  };
  const Case cases[] = {
      {{"--console-chars", "1000"}, true},        {{"--console-chars", "1001"}, false},
      {{"--console-chars", "2147483647"}, false}, {{"--request-timeout", "86400"}, true},
      {{"--request-timeout", "-1"}, false},       {{"--request-timeout", "86401"}, false},
      {{"--max-reply-mib", "4096"}, true},        {{"--max-reply-mib", "0"}, false},
      {{"--max-reply-mib", "4097"}, false},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine parsed = Parse(c.args);
    EXPECT_EQ(parsed.run, c.accepted) << c.args[0] << " " << c.args[1];
    if (!c.accepted) {
      EXPECT_EQ(parsed.exitCode, kExitUsage);
    }
  }
}

TEST(OptionsTest, ConnectionUseToTheServer) {
  ParsedCommandLine defaults = Parse({});
  EXPECT_TRUE(defaults.options.httpReuse);
  EXPECT_EQ(defaults.options.parallelRequests, 4);
  ParsedCommandLine told = Parse({"--http-reuse", "off", "--parallel-requests", "1"});
  ASSERT_TRUE(told.run) << told.err;
  EXPECT_FALSE(told.options.httpReuse);
  EXPECT_EQ(told.options.parallelRequests, 1);
  for (std::vector<std::string> bad : {std::vector<std::string>{"--http-reuse", "no"},
                                       {"--parallel-requests", "0"},
                                       {"--parallel-requests", "65"}}) {
    ParsedCommandLine parsed = Parse(bad);
    EXPECT_FALSE(parsed.run) << bad[0] << " " << bad[1];
    EXPECT_EQ(parsed.exitCode, kExitUsage) << bad[0] << " " << bad[1];
  }
}

TEST(OptionsTest, PasswordFileGivesItsFirstLine) {
  const std::string file = ::testing::TempDir() + "velmar_options_password";
  std::ofstream(file, std::ios::binary) << "geheim mit Leerzeichen\r\nsecond line\n";
  ParsedCommandLine parsed = Parse({"--password-file", file});
  std::remove(file.c_str());
  ASSERT_TRUE(parsed.run) << parsed.err;
  EXPECT_EQ(parsed.options.password, "geheim mit Leerzeichen");
}

TEST(OptionsTest, AccessOptionsAndTheirDefaults) {
  const Options defaults = Parse({}).options;
  EXPECT_EQ(defaults.users, "");
  EXPECT_EQ(defaults.auditLog, "");
  EXPECT_FALSE(defaults.readOnly);
  EXPECT_EQ(defaults.maxConnections, 1000);
  EXPECT_EQ(defaults.maxPerAddress, 64);
  EXPECT_EQ(defaults.idleMinutes, 60);

  ParsedCommandLine parsed = Parse({"--users", "/etc/velmar/users", "--audit-log",
                                    "/var/log/velmar-audit.log", "--read-only", "--max-connections",
                                    "0", "--max-per-address", "8", "--idle-minutes", "0"});
  ASSERT_TRUE(parsed.run) << parsed.err;
  EXPECT_EQ(parsed.options.users, "/etc/velmar/users");
  EXPECT_EQ(parsed.options.auditLog, "/var/log/velmar-audit.log");
  EXPECT_TRUE(parsed.options.readOnly);
  EXPECT_EQ(parsed.options.maxConnections, 0);
  EXPECT_EQ(parsed.options.maxPerAddress, 8);
  EXPECT_EQ(parsed.options.idleMinutes, 0);

  for (const char* option : {"--max-per-address", "--idle-minutes"}) {
    for (const char* bad : {"-1", "many"}) {
      ParsedCommandLine refused = Parse({option, bad});
      EXPECT_FALSE(refused.run) << option << " " << bad;
      EXPECT_EQ(refused.exitCode, kExitUsage) << option << " " << bad;
    }
  }
  EXPECT_TRUE(Parse({"--idle-minutes", "525600"}).run);
  EXPECT_FALSE(Parse({"--idle-minutes", "525601"}).run);
}

TEST(OptionsTest, SshOptionsNeedTheirPortAndAUsersFile) {
  const Options defaults = Parse({}).options;
  EXPECT_EQ(defaults.sshPort, -1);  // off

  ParsedCommandLine parsed = Parse(
      {"--users", "u", "--ssh-port", "2222", "--ssh-host-key", "k", "--ssh-authorized-keys", "d"});
  ASSERT_TRUE(parsed.run) << parsed.err;
  EXPECT_EQ(parsed.options.sshPort, 2222);
  EXPECT_EQ(parsed.options.sshHostKey, "k");
  EXPECT_EQ(parsed.options.sshAuthorizedKeys, "d");
  EXPECT_TRUE(Parse({"--users", "u", "--ssh-port", "0"}).run);

  struct Case {
    std::vector<std::string> args;
    const char* said;  // a part of the message
  };
  const Case refused[] = {
      {{"--ssh-port", "2222"}, "--users"},
      {{"--users", "u", "--ssh-host-key", "k"}, "--ssh-port"},
      {{"--users", "u", "--ssh-authorized-keys", "d"}, "--ssh-port"},
      {{"--users", "u", "--ssh-port", "65536"}, "--ssh-port"},
      {{"--users", "u", "--ssh-port", "2323", "--telnet-port", "2323"}, "Telnet port"},
  };
  for (const Case& c : refused) {
    ParsedCommandLine result = Parse(c.args);
    EXPECT_FALSE(result.run) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(result.exitCode, kExitUsage);
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
  }
}

TEST(OptionsTest, HelpAndVersionEndWithoutRunning) {
  ParsedCommandLine help = Parse({"--help"});
  EXPECT_FALSE(help.run);
  EXPECT_EQ(help.exitCode, kExitOk);
  EXPECT_NE(help.out.find("Anyone who can reach the Telnet port"), std::string::npos);
  ParsedCommandLine version = Parse({"--version"});
  EXPECT_FALSE(version.run);
  EXPECT_EQ(version.out, "velmar " + VersionText() + "\n");
}

TEST(OptionsTest, LoopbackAddresses) {
  struct Case {
    const char* address;
    bool loopback;
  };
  for (const Case& c :
       {Case{"127.0.0.1", true}, Case{"127.1.2.3", true}, Case{"::1", true}, Case{"[::1]", true},
        Case{"::ffff:127.0.0.1", true}, Case{"0.0.0.0", false}, Case{"::", false},
        Case{"192.168.1.5", false}, Case{"::ffff:10.0.0.1", false}, Case{"fe80::1", false}}) {
    EXPECT_EQ(IsLoopbackAddress(c.address), c.loopback) << c.address;
  }
}

}  // namespace
}  // namespace velmar::app
