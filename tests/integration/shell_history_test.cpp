// The history command over Telnet against the simulated server's archive: what the user sees,
// the calls it makes for each span, paging past the server's limit, the JSON document, every
// message, and Ctrl+C.
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shell/change_dir.h"
#include "shell/history.h"
#include "shell_fixture.h"
#include "support/fixed_clock.h"
#include "support/time_zone.h"

namespace velmar::testing {
namespace {

using Requests = std::vector<std::string>;

constexpr std::int64_t kNow = 1800000000;  // 2027-01-15 08:00:00 UTC
const std::string kArchive =
    R"({"id":10001,"type":"instance","name":"Archiv","instance":{"moduleType":0,)"
    R"("moduleID":"{43192F0B-135B-4CE7-A0A7-1475603F3060}"}})";
const std::string kKitchen = R"(
  {"id":10100,"name":"Küche"},
  {"id":20001,"parent":10100,"name":"Temperatur","type":"variable","variable":{"type":"float",
   "profile":"~Temperature","archive":{"history":[[-5400,20.5],[-3600,21.0],[-1800,22.5]]}}},
  {"id":20002,"parent":10100,"name":"Zähler","type":"variable","variable":{"type":"float",
   "profile":"~Electricity","archive":{"aggregation":"counter",
   "history":[[-10800,500],[-7200,505],[-3600,520],[-600,521]]}}},
  {"id":20003,"parent":10100,"name":"Fenster","type":"variable","variable":{"type":"boolean",
   "archive":{"history":[[-7200,true],[-3600,false]]}}},
  {"id":20004,"parent":10100,"name":"Notiz","type":"variable","variable":{"type":"string",
   "archive":{"history":[[-7200,"Milch"],[-60,"Käse \u001b[31m"]]}}},
  {"id":20005,"parent":10100,"name":"Nicht geloggt","type":"variable","variable":{"type":"float"}})";

// A variable with 25,000 records, one every 3 seconds until 3 seconds ago.
std::string ManyRecords() {
  std::string history;
  for (int i = 0; i < 25000; ++i)
    history += (i ? ",[" : "[") + std::to_string(3 * (i - 25000)) + "," + std::to_string(i) + "]";
  return R"({"id":20006,"name":"Viele","type":"variable","variable":{"type":"integer",)"
         R"("archive":{"history":[)" +
         history + "]}}}";
}

class HistoryCommandTest : public ShellFixture {
 protected:
  HistoryCommandTest()
      : ShellFixture({{{u"CD", u"CD..", u"CD\\"}, shell::ChangeDir}, shell::HistoryCommand()},
                     "{\"objects\":[" + kArchive + "," + kKitchen + "]}") {}

  void SetUp() override {
    platform::OverrideRegionalSettings(platform::RegionalSettings{"%d.%m.%Y", "%H:%M:%S", ",", ""});
    platform::OverrideClock(std::make_shared<FixedClock>(0, kNow * 1000));
  }

  void TearDown() override {
    ShellFixture::TearDown();
    platform::OverrideClock(nullptr);
    platform::OverrideRegionalSettings(std::nullopt);
  }

  void StartWith(const std::string& tree) {
    sim::SimulatorOptions options;
    options.treeJson = tree;
    options.clock = [] { return kNow; };
    Start(std::move(options));
  }
  void StartKitchen(const std::string& more = "") {
    StartWith("{\"objects\":[" + kArchive + "," + kKitchen + more + "]}");
  }

  std::string Run(const std::string& line,
                  TelnetClient::Duration timeout = TelnetClient::kDefaultTimeout) {
    return RunCommand(line, timeout).output;
  }

  ScopedTimeZone utc_{"UTC0"};
};

TEST_F(HistoryCommandTest, EveryMessage) {
  StartKitchen();
  const std::string usage =
      "Usage: history ID|name [1h|24h|7d|30d|1y] [-from DATE] [-to DATE] [-list] [-json]";
  struct Case {
    const char* line;
    std::string output;
  };
  const Case cases[] = {
      {"history", "Variable not specified. " + usage + "\r\n"},
      {"history 99999", "Object not found: 99999\r\n"},
      {"history Temperatur", "Object not found: Temperatur\r\n"},  // not in this category
      {"history 10100", "Not a variable: 10100\r\n"},
      {"history 20005", "Variable 20005 is not logged.\r\n"},
      {"history 20001 fortnight", "Unknown argument: fortnight. " + usage + "\r\n"},
      {"history 20001 -to 01.01.2027 -from 02.01.2027",
       "The start (02.01.2027) must lie before the end (01.01.2027).\r\n"},
      // Before the first record: nothing held.
      {"history 20001 -from 2027-01-15T04:00 -to 2027-01-15T05:00",
       "No values logged from 15.01.2027 04:00:00 to 15.01.2027 05:00:00.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Run(c.line), c.output);
  }
  // Without an archive instance.
  TearDown();
  SetUp();
  StartWith("{\"objects\":[" + kKitchen.substr(kKitchen.find('{')) + "]}");
  EXPECT_EQ(Run("history 20001"), "No archive on this server.\r\n");
}

TEST_F(HistoryCommandTest, AChartAsWideAsTheConsoleWithItsSummary) {
  StartKitchen();
  Run("cd Küche");
  TakeRequests();
  const std::string output = Run("history Temperatur 2h");
  // clang-format off
  const std::vector<std::string> lines = {
      "Temperatur (20001), from 15.01.2027 06:00:00 to 15.01.2027 08:00:00, raw values",
      "22.5 °C ┤                                                      █████████████████",
      "        │                                                     ▄█████████████████",
      "  22 °C ┤                                                     ██████████████████",
      "        │                                                     ██████████████████",
      "21.5 °C ┤                                                     ██████████████████",
      "        │                                                     ██████████████████",
      "  21 °C ┤                                    ███████████████████████████████████",
      "        │                                   ████████████████████████████████████",
      "20.5 °C ┤                 ██████████████████████████████████████████████████████",
      "        │                 ██████████████████████████████████████████████████████",
      "        └┬────────────────┬─────────────────┬─────────────────┬─────────────────",
      "         06:00          06:30             07:00             07:30",
      "Min 20.5 °C at 15.01.2027 06:30:00, max 22.5 °C at 15.01.2027 07:30:00,",
      "mean 21.33 °C, last 22.5 °C.",
  };
  // clang-format on
  std::string expected;
  for (const std::string& line : lines) expected += line + "\r\n";
  EXPECT_EQ(output, expected);
  EXPECT_EQ(
      TakeRequests(),
      (Requests{"IPS_GetObjectIDByName[\"Temperatur\",10100]", "IPS_ObjectExists[20001]",
                "IPS_GetObject[20001]",
                "IPS_GetInstanceListByModuleID[\"{43192F0B-135B-4CE7-A0A7-1475603F3060}\"]",
                "AC_GetLoggingStatus[10001,20001]", "IPS_GetVariable[20001]",
                "IPS_GetVariableProfile[\"~Temperature\"]", "AC_GetAggregationType[10001,20001]",
                "AC_GetLoggedValues[10001,20001,1799992800,1800000000,81]",
                "AC_GetLoggedValues[10001,20001,1,1799992799,1]"}));
}

TEST_F(HistoryCommandTest, TextsAsATableNewestLastMadeInert) {
  StartKitchen();
  EXPECT_EQ(Run("history 20004"),
            "Notiz (20004), from 14.01.2027 08:00:00 to 15.01.2027 08:00:00, 2 records\r\n"
            "15.01.2027 06:00:00  \"Milch\"\r\n"
            "15.01.2027 07:59:00  \"K\xc3\xa4se \xef\xbf\xbd[31m\"\r\n");
  // -list gives the records of any variable; numbers with the profile's suffix.
  EXPECT_EQ(Run("history 20001 -list 1h"),
            "Temperatur (20001), from 15.01.2027 07:00:00 to 15.01.2027 08:00:00, 2 records\r\n"
            "15.01.2027 07:00:00  21 \xc2\xb0"
            "C\r\n"
            "15.01.2027 07:30:00  22.5 \xc2\xb0"
            "C\r\n");
}

TEST_F(HistoryCommandTest, CountersAsBarsBooleansAsABand) {
  StartKitchen();
  // Sums per 5 minutes, at most one bar a column: 0, 5, 15 and 1 kWh.
  const std::string bars = Run("history 20002 4h");
  EXPECT_NE(bars.find("Zähler (20002), from 15.01.2027 04:00:00 to 15.01.2027 08:00:00,\r\n"
                      "sums per 5 minutes\r\n"),
            std::string::npos)
      << bars;
  EXPECT_NE(bars.find("Total 21 kWh, min 0 kWh per 5 minutes at 15.01.2027 05:00:00,\r\n"
                      "max 15 kWh per 5 minutes at 15.01.2027 07:00:00, mean 0.58 kWh per 5 "
                      "minutes,\r\nreading 521 kWh.\r\n"),
            std::string::npos)
      << bars;
  // On for one of the two hours logged.
  const std::string band = Run("history 20003 4h");
  EXPECT_NE(band.find("on/off \xe2\x94\x82" + std::string(36, ' ')), std::string::npos) << band;
  EXPECT_NE(band.find("On 50 % of the time, 2 changes, last false,"), std::string::npos) << band;
}

TEST_F(HistoryCommandTest, RawValuesWhenFewerThanColumnsElsePeriodsPagedPastTheLimit) {
  StartKitchen("," + ManyRecords());
  // Three records in a year: drawn as they are, whatever the span.
  Run("history 20001 1y");
  for (const std::string& call : TakeRequests())
    EXPECT_EQ(call.find("AC_GetAggregatedValues"), std::string::npos) << call;
  // 25,000 records: a point per 5 minutes for a day at 80 columns.
  // Tens of thousands of records take a while in a sanitized build on a busy machine.
  const auto kMany = std::chrono::seconds(90);
  Run("history 20006", kMany);
  const Requests calls = TakeRequests();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "AC_GetAggregatedValues[10001,20006,5,1799913300,1800000000,10000]");
  // The table of a year holds them all, read in three pages that each end where the one before
  // did.
  const nlohmann::json document = nlohmann::json::parse(Run("history 20006 1y -list -json", kMany));
  ASSERT_EQ(document["values"].size(), 25000u);
  EXPECT_EQ(document["complete"], true);
  for (std::size_t i = 0; i < 25000; ++i) ASSERT_EQ(document["values"][i]["value"], i) << i;
  Requests pages;
  for (const std::string& call : TakeRequests())
    if (call.starts_with("AC_GetLoggedValues")) pages.push_back(call);
  EXPECT_EQ(pages, (Requests{"AC_GetLoggedValues[10001,20006,1768464000,1800000000,10000]",
                             "AC_GetLoggedValues[10001,20006,1768464000,1799970000,10000]",
                             "AC_GetLoggedValues[10001,20006,1768464000,1799940003,10000]"}));
}

TEST_F(HistoryCommandTest, JsonDocumentFieldByField) {
  StartKitchen();
  const nlohmann::json d = nlohmann::json::parse(Run("history 20001 1h -json"));
  EXPECT_EQ(d["id"], 20001);
  EXPECT_EQ(d["name"], "Temperatur");
  EXPECT_EQ(d["type"], "float");
  EXPECT_EQ(d["profile"], "~Temperature");
  EXPECT_EQ(d["prefix"], "");
  EXPECT_EQ(d["suffix"], " °C");
  EXPECT_EQ(d["aggregation"], "standard");
  EXPECT_EQ(d["from"], "2027-01-15T07:00:00+00:00");
  EXPECT_EQ(d["to"], "2027-01-15T08:00:00+00:00");
  EXPECT_EQ(d["source"], "raw values");
  EXPECT_EQ(d["complete"], true);
  EXPECT_EQ(d["periods"], nlohmann::json::array());
  ASSERT_EQ(d["values"].size(), 2u);
  EXPECT_EQ(d["values"][0],
            nlohmann::json::parse(R"({"time":"2027-01-15T07:00:00+00:00","duration":1800,)"
                                  R"("value":21,"text":"21 °C"})"));
  EXPECT_EQ(d["values"][1]["value"], 22.5);
  EXPECT_EQ(d["values"][1]["duration"], 1800);
  // The record set before the range, though its value ended where the range begins.
  EXPECT_EQ(d["before"]["time"], "2027-01-15T06:30:00+00:00");
  EXPECT_EQ(d["before"]["value"], 20.5);
  const nlohmann::json& summary = d["summary"];
  EXPECT_EQ(summary["min"], 21);
  EXPECT_EQ(summary["minTime"], "2027-01-15T07:00:00+00:00");
  EXPECT_EQ(summary["max"], 22.5);
  EXPECT_EQ(summary["maxTime"], "2027-01-15T07:30:00+00:00");
  EXPECT_EQ(summary["mean"], 21.75);
  EXPECT_EQ(summary["changes"], 2);
  EXPECT_EQ(summary["last"], 22.5);
  EXPECT_EQ(summary["lastText"], "22.5 °C");
  EXPECT_EQ(summary["total"], nullptr);
}

TEST_F(HistoryCommandTest, CtrlCStopsAReadBetweenPages) {
  StartKitchen("," + ManyRecords());
  // The first page is slow to come, so that the interrupt is there before it.
  sim::Fault slow{sim::FaultKind::Delay};
  slow.delay = std::chrono::milliseconds(1000);
  slow.once = true;
  server_->setFault("AC_GetLoggedValues", slow);
  client_->send("history 20006 1y -list\r\n");
  // Once the first page is asked for, the command runs: the interrupt is its own.
  auto asked = [this] {
    for (const auto& request : server_->requests())
      if (request.body.find("AC_GetLoggedValues") != std::string::npos) return true;
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!asked() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  client_->send("\xff\xf4");  // IAC IP
  const std::string output = client_->readUntil(std::string("\r\n") + kPromptStart);
  client_->readUntil(kPromptEnd);
  EXPECT_EQ(output.find("record"), std::string::npos) << output.substr(0, 300);
  EXPECT_EQ(Run("history 20005"), "Variable 20005 is not logged.\r\n");
}

}  // namespace
}  // namespace velmar::testing
