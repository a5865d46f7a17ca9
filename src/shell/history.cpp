#include "shell/history.h"

#include <optional>
#include <variant>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "core/error.h"
#include "platform/clock.h"
#include "shell/history_json.h"
#include "shell/history_views.h"
#include "shell/json_output.h"
#include "shell/object_argument.h"
#include "text/arguments.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {
namespace {

std::u16string ServerText(const api::JsonRef& value) {
  return value ? text::Utf8Repair(value.AsString()) : std::u16string();
}

// The prefix and suffix of the variable's profile; none when the server has no such profile.
ValueFormat ProfileFormat(const std::u16string& profile) {
  if (profile.empty()) return {};
  try {
    const api::JsonRef record = api::IPS_GetVariableProfile(profile);
    return {text::Inert(ServerText(record.Get(u"Prefix"))),
            text::Inert(ServerText(record.Get(u"Suffix")))};
  } catch (const Error&) {
    return {};
  }
}

// The archive instance, or none after saying so.
std::optional<std::int32_t> FindArchive(telnet::Session& session) {
  const api::JsonRef archives = api::IPS_GetInstanceListByModuleID(kArchiveModuleID);
  const json::JsonArray* list = archives ? archives.AsArray() : nullptr;
  if (!list || list->Empty()) {
    session.Fail(u"No archive on this server.");
    return std::nullopt;
  }
  return static_cast<std::int32_t>(list->Get(0).AsInteger());
}

// The logged variable that `object` names, or none after saying why not.
std::optional<HistoryTarget> FindTarget(telnet::Session& session, const std::u16string& object) {
  const auto id = ResolveObjectArgument(object, session.currentDir, api::IPS_GetObjectIDByName);
  if (!id || !api::IPS_ObjectExists(*id)) {
    session.Fail(u"Object not found: " + object);
    return std::nullopt;
  }
  const api::IPSObject record(api::IPS_GetObject(*id));
  if (record.ObjectType() != api::IPSObjectType::otVariable) {
    session.Fail(u"Not a variable: " + object);
    return std::nullopt;
  }
  const std::optional<std::int32_t> archive = FindArchive(session);
  if (!archive) return std::nullopt;
  if (!api::AC_GetLoggingStatus(*archive, *id)) {
    session.Fail(u"Variable " + text::IntToStr(*id) + u" is not logged.");
    return std::nullopt;
  }
  HistoryTarget target;
  target.id = *id;
  target.name = record.Name();
  target.archive = *archive;
  const api::JsonRef variable = api::IPS_GetVariable(*id);
  target.type = static_cast<std::int32_t>(variable.Get(u"VariableType").AsInteger());
  target.value = variable.Get(u"VariableValue");
  std::u16string profile = ServerText(variable.Get(u"VariableCustomProfile"));
  if (profile.empty()) profile = ServerText(variable.Get(u"VariableProfile"));
  target.profile = text::Inert(profile);
  if (target.numeric()) {
    target.format = ProfileFormat(profile);
    target.counter = api::AC_GetAggregationType(*archive, *id) == 1;
  }
  return target;
}

}  // namespace

void History(telnet::Session& session, const std::u16string& commandline) {
  const JsonOption json = TakeJsonOption(commandline);
  const platform::RegionalSettings settings = platform::CurrentRegionalSettings();
  const ParsedHistoryArguments parsed = ParseHistoryArguments(json.commandline, settings);
  if (const auto* message = std::get_if<std::u16string>(&parsed)) {
    session.Fail(*message);
    return;
  }
  const HistoryArguments& arguments = std::get<HistoryArguments>(parsed);
  const std::int64_t now = platform::UnixMillisecondsNow() / 1000;
  const auto resolved = ResolveHistoryRange(arguments, now, settings);
  if (const auto* message = std::get_if<std::u16string>(&resolved)) {
    session.Fail(*message);
    return;
  }
  const HistoryRange range = std::get<HistoryRange>(resolved);
  const std::optional<HistoryTarget> target = FindTarget(session, arguments.object);
  if (!target) return;

  const HistoryView view = ViewFor(*target, arguments.list);
  const std::int32_t width = session.ConsoleChars();
  const HistoryData data = FetchHistory(session, *target, view, range, width);
  if (data.end == PagingEnd::Stopped) return;  // Ctrl+C: stopped by the user, not a failure
  if (json.requested) {
    WriteJson(session, HistoryDocument(*target, view, range, data, now));
    return;
  }
  std::vector<std::u16string> lines =
      HistoryLines(*target, view, range, data, now, width, settings);
  for (auto& line : lines) line.insert(0, u" ");  // the lead word that formatted writing drops
  session.WriteFormated(lines);
}

telnet::Command HistoryCommand() {
  return {{u"HISTORY"}, History};
}

}  // namespace velmar::shell
