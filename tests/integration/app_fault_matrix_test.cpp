// Every way the server can fail, crossed with every command that asks it something: the
// affected connection either reports the failure in the command's own words and goes on, or
// ends without a word and without any of the output it had collected. The service itself
// keeps running, other connections carry on, and nothing is left behind.
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app_fault_fixture.h"

namespace velmar::app::faults {
namespace {

enum class Outcome {
  Ends,     // the connection closes; `text` is everything written before that
  Reports,  // the command writes the line `text` and the shell goes on
};

struct CommandCase {
  const char* name;
  const char* line;
  const char* method;  // the server method that fails; "" = every method
  Outcome outcome;
  const char* text;
};

// Which call fails decides the outcome: a failed name lookup is reported as "not found", a
// failed setter as "Operation failed.", any other failed call ends the connection. Each
// command collects its lines before writing them, except find, whose progress starts with a
// line end before the first name is asked for.
const CommandCase kCommands[] = {
    {"ls", "ls", "", Outcome::Ends, ""},
    {"ls_heading", "ls", "IPS_GetName", Outcome::Ends, ""},
    {"ls_link", "ls", "IPS_GetLink", Outcome::Ends, ""},
    {"ls_variable", "ls -v", "IPS_GetVariable", Outcome::Ends, ""},
    {"cd_name", "cd Floor", "", Outcome::Reports, "Object not found: Floor"},
    {"cd_name_exists", "cd Floor", "IPS_ObjectExists", Outcome::Ends, ""},
    {"cd_id", "cd 10100", "", Outcome::Ends, ""},
    {"cd_id_path", "cd 10100", "IPS_GetObject", Outcome::Ends, ""},
    {"cd_link", "cd Go", "IPS_GetLink", Outcome::Ends, ""},
    {"cd_up", "cd ..", "", Outcome::Ends, ""},
    {"show_name", "show Counter", "", Outcome::Reports, "Object not found: Counter"},
    {"show_name_exists", "show Counter", "IPS_ObjectExists", Outcome::Ends, ""},
    {"show_id", "show 20000", "", Outcome::Ends, ""},
    {"show_variable", "show 20000", "IPS_GetVariable", Outcome::Ends, ""},
    {"show_script", "show 30000", "IPS_GetScript", Outcome::Ends, ""},
    {"run_name", "run Hello", "", Outcome::Reports, "Script not found: Hello"},
    {"run_name_exists", "run Hello", "IPS_ScriptExists", Outcome::Ends, ""},
    {"run_id", "run 30000", "", Outcome::Ends, ""},
    {"run_start", "run 30000", "IPS_RunScript", Outcome::Ends, ""},
    {"run_wait", "run 30000 -w", "IPS_RunScriptWait", Outcome::Ends, ""},
    {"set_name", "set Counter 7", "", Outcome::Reports, "Variable not found: Counter"},
    {"set_name_exists", "set Counter 7", "IPS_VariableExists", Outcome::Ends, ""},
    {"set_id", "set 20000 7", "", Outcome::Ends, ""},
    {"set_record", "set 20000 7", "IPS_GetVariable", Outcome::Ends, ""},
    {"set_setter", "set 20000 7", "SetValueInteger", Outcome::Reports, "Operation failed."},
    {"find", "find o", "", Outcome::Ends, ""},
    {"find_names", "find o", "IPS_GetName", Outcome::Ends, "\r\n"},
    {"uptime", "uptime", "", Outcome::Ends, ""},
};

struct FaultCase {
  const char* name;
  sim::Fault fault;
  // Instead of a fault: the server is stopped (connections refused) and started again on the
  // same port afterwards.
  bool gone = false;
};

void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << '"' << c.line << "\" failing on " << (*c.method ? c.method : "every method");
}
void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

sim::Fault Status(int status) {
  sim::Fault fault{sim::FaultKind::HttpStatus};
  fault.status = status;
  return fault;
}

const FaultCase kFaults[] = {
    {"ErrorReply", {sim::FaultKind::ErrorReply}},
    {"Http401", Status(401)},
    {"Http500", Status(500)},
    {"EmptyBody", {sim::FaultKind::EmptyBody}},
    {"NonJsonBody", {sim::FaultKind::NonJsonBody}},
    {"DropConnection", {sim::FaultKind::DropConnection}},
};

// A server that is not there fails every call, like a fault on every method.
const FaultCase kServerGone[] = {{"ServerGone", {sim::FaultKind::ErrorReply}, true}};

std::vector<CommandCase> EveryMethodFailing() {
  std::vector<CommandCase> cases;
  for (const CommandCase& c : kCommands) {
    if (*c.method == '\0') cases.push_back(c);
  }
  return cases;
}

class FaultMatrixTest : public ServiceTest,
                        public ::testing::WithParamInterface<std::tuple<CommandCase, FaultCase>> {};

TEST_P(FaultMatrixTest, FailingServerEndsOrReportsAndLeavesTheServiceWhole) {
  const auto& [command, fault] = GetParam();

  // A second connection that works before, during and after the failure.
  Shell other(port());
  const CommandResult listing = other.Run("ls");
  ASSERT_NE(listing.output.find("Counter"), std::string::npos) << listing.output;
  const CommandResult help = other.Run("help ls");
  const Resources idle = CountResources();

  {
    Shell shell(port());
    const int serverPort = host_->port();
    if (fault.gone) {
      host_->Stop();
    } else {
      host_->SetFault(command.method, fault.fault);
    }
    if (command.outcome == Outcome::Ends) {
      EXPECT_EQ(shell.RunUntilClosed(command.line), command.text);
    } else {
      EXPECT_EQ(shell.Run(command.line),
                (CommandResult{std::string(command.text) + "\r\n", "IP-Symcon"}));
    }
    EXPECT_EQ(other.Run("help ls"), help);
    if (fault.gone) {
      host_->Start(serverPort);
      ASSERT_EQ(host_->port(), serverPort);
    } else {
      host_->ClearFaults();
    }
    // A connection that was told about the failure goes on as if nothing had happened.
    if (command.outcome == Outcome::Reports) {
      EXPECT_EQ(shell.Run("ls"), listing);
    }
  }
  EXPECT_EQ(other.Run("ls"), listing);
  // The failed connection's thread, its socket and its HTTP connection are gone.
  EXPECT_SETTLES_AT(idle);
  EXPECT_EQ(controller_->listener().connectionCount(), 1u);
}

std::string MatrixName(const ::testing::TestParamInfo<FaultMatrixTest::ParamType>& param) {
  return std::string(std::get<0>(param.param).name) + "_" + std::get<1>(param.param).name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixTest,
                         ::testing::Combine(::testing::ValuesIn(kCommands),
                                            ::testing::ValuesIn(kFaults)),
                         MatrixName);
INSTANTIATE_TEST_SUITE_P(Gone, FaultMatrixTest,
                         ::testing::Combine(::testing::ValuesIn(EveryMethodFailing()),
                                            ::testing::ValuesIn(kServerGone)),
                         MatrixName);

// A slow server (well under a second per request) makes a command slow, nothing else.
struct DelayCase {
  const char* name;
  const char* line;
};

void PrintTo(const DelayCase& c, std::ostream* os) {
  *os << '"' << c.line << '"';
}

const DelayCase kDelayed[] = {
    {"ls", "ls"},         {"cd_name", "cd Floor"},       {"cd_id", "cd 10100"},
    {"cd_link", "cd Go"}, {"show_name", "show Counter"}, {"show_id", "show 30000"},
    {"run", "run 30000"}, {"run_wait", "run Hello -w"},  {"set", "set 20000 7"},
    {"find", "find o"},   {"uptime", "uptime"},
};

// The parts of an output that change from one run to the next: the time a search took and
// the host's own uptime.
std::string Steady(std::string output) {
  const std::string searched = " objects searched in ";
  if (auto at = output.find(searched); at != std::string::npos) {
    const auto end = output.find(" seconds.", at);
    if (end != std::string::npos)
      output.replace(at + searched.size(), end - at - searched.size(), "#");
  }
  const std::string host = "Velmar Server: ";
  if (auto at = output.find(host); at != std::string::npos) output.resize(at + host.size());
  return output;
}

class DelayTest : public ServiceTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(DelayTest, ShortDelayMakesTheCommandSlowButCorrect) {
  const DelayCase& c = GetParam();
  Shell reference(port());
  const CommandResult expected = reference.Run(c.line);

  Shell slow(port());
  sim::Fault delay{sim::FaultKind::Delay};
  delay.delay = 100ms;
  host_->SetFault("", delay);
  const auto start = std::chrono::steady_clock::now();
  const CommandResult got = slow.Run(c.line);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  host_->ClearFaults();

  EXPECT_EQ(Steady(got.output), Steady(expected.output));
  EXPECT_EQ(got.prompt, expected.prompt);
  EXPECT_GE(elapsed, 100ms);  // the delay did apply
}

INSTANTIATE_TEST_SUITE_P(Faults, DelayTest, ::testing::ValuesIn(kDelayed),
                         [](const ::testing::TestParamInfo<DelayCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace velmar::app::faults
