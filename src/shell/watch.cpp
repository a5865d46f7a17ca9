#include "shell/watch.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <vector>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "core/error.h"
#include "shell/list.h"
#include "shell/object_argument.h"
#include "shell/watch_view.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {

namespace {

using Clock = std::chrono::steady_clock;
using api::IPSObjectType;

constexpr double kMinInterval = 0.2;
constexpr double kMaxInterval = 3600;
const std::u16string kUsage = u"Usage: watch ID|name [-i SECONDS] [-n COUNT] [-json]";

// Seconds written with a decimal point or comma ("0.5", "0,5", "2").
std::optional<double> ReadSeconds(std::u16string_view word) {
  std::string ascii;
  bool separator = false;
  for (const char16_t c : word) {
    if (c >= u'0' && c <= u'9') {
      ascii += static_cast<char>(c);
    } else if ((c == u'.' || c == u',') && !separator && !ascii.empty()) {
      separator = true;
      ascii += '.';
    } else {
      return std::nullopt;
    }
  }
  if (ascii.empty() || ascii.back() == '.' || ascii.size() > 16) return std::nullopt;
  // from_chars reads a point whatever locale the process has (the window's toolkit sets the
  // user's).
  double seconds = 0;
  std::from_chars(ascii.data(), ascii.data() + ascii.size(), seconds);
  return seconds;
}

// The value after an option word; an empty text when there is none.
std::u16string OptionValue(const std::vector<ArgumentWord>& words, std::size_t& i) {
  return i + 1 < words.size() ? words[++i].text : std::u16string();
}

// The variables among the children of `parent`, in listing order.
std::vector<api::IPSObject> ChildVariables(const api::IPSObject& parent) {
  const api::IPSList& ids = parent.Children();
  std::vector<std::optional<api::IPSObject>> fetched(ids.size());
  api::RunRequestsTogether(ids.size(), [&](std::size_t index) {
    if (ids[index] == 0) return;
    api::IPSObject child(api::IPS_GetObject(ids[index]));
    if (child.ObjectType() == IPSObjectType::otVariable && child.Parent() == parent.ID())
      fetched[index] = std::move(child);
  });
  std::vector<api::IPSObject> variables;
  for (auto& child : fetched)
    if (child) variables.push_back(std::move(*child));
  std::stable_sort(variables.begin(), variables.end(), ListedBefore);
  return variables;
}

// The variables that `target` names, in listing order; nothing after saying why not.
std::optional<std::vector<Watched>> WatchedVariables(telnet::Session& session,
                                                     const std::u16string& target) {
  const auto id = ResolveObjectArgument(target, session.currentDir, api::IPS_GetObjectIDByName);
  if (!id || !api::IPS_ObjectExists(*id)) {
    session.Fail(u"Object not found: " + target);
    return std::nullopt;
  }
  api::IPSObject record(api::IPS_GetObject(*id));
  if (record.ObjectType() == IPSObjectType::otLink)
    record = api::IPSObject(api::IPS_GetObject(api::IPSLink(api::IPS_GetLink(*id)).Target()));
  std::vector<api::IPSObject> variables;
  switch (record.ObjectType()) {
    case IPSObjectType::otVariable:
      variables.push_back(record);
      break;
    case IPSObjectType::otCategory:
    case IPSObjectType::otInstance:
      variables = ChildVariables(record);
      break;
    default:
      session.Fail(u"Can not watch " + target + u". Object is no variable, category or instance.");
      return std::nullopt;
  }
  if (variables.size() > kMaxWatched) {
    session.Fail(u"Too many variables to watch: " +
                 text::IntToStr(static_cast<std::int64_t>(variables.size())) + u" (at most " +
                 text::IntToStr(static_cast<std::int64_t>(kMaxWatched)) + u").");
    return std::nullopt;
  }
  if (variables.empty()) {
    session.Fail(u"No variables to watch in " + target + u".");
    return std::nullopt;
  }
  std::vector<Watched> watched(variables.size());
  for (std::size_t i = 0; i < variables.size(); ++i) {
    watched[i].id = variables[i].ID();
    watched[i].name = variables[i].Name();
  }
  return watched;
}

// One round: every variable's record, asked for together. Fails when a request fails or a
// record is no JSON object.
std::vector<json::JsonValue> PollRound(const std::vector<Watched>& watched) {
  std::vector<json::JsonValue> records(watched.size());
  api::RunRequestsTogether(watched.size(), [&](std::size_t index) {
    records[index] = api::IPS_GetVariable(watched[index].id);
  });
  for (const json::JsonValue& record : records) {
    if (!record || record.DataType() != json::JsonType::stObject)
      throw Error("The server's variable record is not a JSON object.");
  }
  return records;
}

// Waits until `until`; false when the user interrupted or the client went meanwhile.
bool WaitUntil(telnet::Session& session, Clock::time_point until) {
  for (;;) {
    if (session.Interrupted() || session.client().HungUp()) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return true;
    session.delay(static_cast<std::int32_t>(std::min<std::int64_t>(left.count(), 60000)));
  }
}

// Polls until the user ends it, `options.count` changes were shown, the client goes or the
// rounds have failed for the request time-out.
void WatchRounds(telnet::Session& session, std::vector<Watched>& watched,
                 const WatchOptions& options, WatchView& view) {
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.intervalSeconds));
  bool failing = false;
  Clock::time_point failingSince;
  std::int64_t changes = 0;
  bool started = false;
  for (Clock::time_point next = Clock::now();; next += interval) {
    if (!WaitUntil(session, next)) break;
    // A round that took longer than the interval delays the next; none are made up for.
    const Clock::time_point start = Clock::now();
    next = std::max(next, start);
    std::vector<json::JsonValue> records;
    try {
      records = PollRound(watched);
    } catch (const std::exception& e) {
      const std::u16string message = text::Utf8ToUtf16(e.what());
      if (!failing) {
        failing = true;
        failingSince = start;
        view.Failed(message);
      }
      const std::int32_t timeoutSeconds = api::CurrentRequestLimits().timeoutSeconds;
      if (timeoutSeconds > 0 &&
          Clock::now() - failingSince >= std::chrono::seconds(timeoutSeconds)) {
        if (started) view.End(watched);
        session.Fail(message);
        return;
      }
      continue;
    }
    failing = false;
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < watched.size(); ++i) {
      const bool change = TakeRecord(watched[i], std::move(records[i]));
      if (change &&
          (!options.count || changes + static_cast<std::int64_t>(changed.size()) < *options.count))
        changed.push_back(i);
    }
    if (!started) {
      view.Start(watched);
      started = true;
      continue;
    }
    view.Round(watched, changed, took);
    changes += static_cast<std::int64_t>(changed.size());
    if (options.count && changes >= *options.count) break;
  }
  if (started && session.client().Connected()) view.End(watched);
}

}  // namespace

std::variant<WatchOptions, std::u16string> ParseWatchOptions(std::u16string_view commandline) {
  const auto words = ArgumentWords(commandline);
  if (!words) return std::u16string(u"The closing quote is missing.");
  WatchOptions options;
  bool haveTarget = false;
  for (std::size_t i = 0; i < words->size(); ++i) {
    const std::u16string& word = (*words)[i].text;
    const bool quoted = (*words)[i].quoted;
    const std::u16string upper = quoted ? std::u16string() : text::UpperCase(word);
    if (upper == u"-I") {
      const std::u16string value = OptionValue(*words, i);
      const auto seconds = ReadSeconds(value);
      if (!seconds || *seconds < kMinInterval || *seconds > kMaxInterval)
        return u"Not an interval from 0.2 to 3600 seconds: \"" + value + u"\"";
      options.intervalSeconds = *seconds;
    } else if (upper == u"-N") {
      const std::u16string value = OptionValue(*words, i);
      const auto count = text::TryStrToInt(value);
      if (!count || *count < 1) return u"Not a count of changes from 1 on: \"" + value + u"\"";
      options.count = *count;
    } else if (upper == u"-JSON") {
      options.json = true;
    } else if (!word.empty() && word.front() == u'-' && !IsWholeNumber(word) && !quoted) {
      return u"Unknown option: " + word;
    } else if (haveTarget) {
      return u"Unexpected argument: " + word;
    } else {
      options.target = word;
      haveTarget = true;
    }
  }
  if (!haveTarget || options.target.empty()) return kUsage;
  return options;
}

void Watch(telnet::Session& session, const std::u16string& commandline) {
  auto parsed = ParseWatchOptions(commandline);
  if (const auto* message = std::get_if<std::u16string>(&parsed)) {
    session.Fail(*message);
    return;
  }
  const WatchOptions& options = std::get<WatchOptions>(parsed);
  auto watched = WatchedVariables(session, options.target);
  if (!watched) return;
  std::unique_ptr<WatchView> view = options.json ? MakeJsonView(session)
                                    : session.IsTerminal()
                                        ? MakeTableView(session, options.intervalSeconds)
                                        : MakeLineView(session);
  WatchRounds(session, *watched, options, *view);
}

}  // namespace velmar::shell
