#include "shell/show.h"

#include <cstdint>
#include <vector>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "platform/regional.h"
#include "shell/json_output.h"
#include "shell/object_argument.h"
#include "shell/object_json.h"
#include "text/arguments.h"
#include "text/colors.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {

namespace {

using api::IPSObjectType;
using api::IPSVariableType;
using text::ConsoleColor;

std::u16string BoolText(bool value) {
  return value ? u"True" : u"False";
}

std::u16string DateTimeText(api::DateTime value) {
  return text::Utf8ToUtf16(platform::FormatDateTime(value));
}

void AddVariableLines(std::int32_t id, std::vector<std::u16string>& output) {
  const api::IPSVariable variable(api::IPS_GetVariable(id));
  std::u16string value = text::Inert(variable.ValueBuffer());
  switch (variable.VariableType()) {
    case IPSVariableType::vtBoolean:
      output.push_back(u"     Variable Typ: \t\tBoolean");
      break;
    case IPSVariableType::vtInteger:
      output.push_back(u"     Variable Typ: \t\tInteger");
      break;
    case IPSVariableType::vtFloat:
      output.push_back(u"     Variable Typ: \t\tFloat");
      break;
    case IPSVariableType::vtString:
      output.push_back(u"     Variable Typ: \t\tString");
      value = u"\"" + value + u"\"";
      break;
  }
  output.push_back(u"     Value: \t\t\t" + value);
  output.push_back(u"     Last Updated: \t\t" + DateTimeText(variable.Updated()));
  output.push_back(u"     Last Changed: \t\t" + DateTimeText(variable.Changed()));
}

void AddTypeLines(const api::IPSObject& obj, std::int32_t id, std::vector<std::u16string>& output) {
  switch (obj.ObjectType()) {
    case IPSObjectType::otCategory:
      output.push_back(u"   Object Typ: \t\tCategory");
      break;
    case IPSObjectType::otInstance:
      output.push_back(u"   Object Typ: \t\t" + text::Colorize(u"Instance", ConsoleColor::ccWhite));
      break;
    case IPSObjectType::otVariable:
      output.push_back(u"   Object Typ: \t\t" + text::Colorize(u"Variable", ConsoleColor::ccBlue));
      AddVariableLines(id, output);
      break;
    case IPSObjectType::otScript: {
      output.push_back(u"   Object Typ: \t\t" + text::Colorize(u"Script", ConsoleColor::ccRed));
      const api::IPSScript script(api::IPS_GetScript(obj.ID()));
      output.push_back(u"     File: \t\t\t" + text::Inert(script.ScriptFile()));
      output.push_back(u"     Last Execute: \t\t" + DateTimeText(script.Executed()));
      break;
    }
    case IPSObjectType::otEvent:
      output.push_back(u"   Object Typ: \tEvent");
      break;
    case IPSObjectType::otMedia:
      output.push_back(u"   Object Typ: \tMedia");
      break;
    case IPSObjectType::otLink:
      output.push_back(u"   Object Typ: \tLink");
      break;
  }
  // A type this program does not know gets no type line.
}

// The document of show -json: what ls -json says of the object, and the rest of its record.
json::JsonValue ShowDocument(const api::IPSObject& record, std::int32_t id) {
  json::JsonValue document = ObjectJson(record);
  document.PutInt(u"parent", record.Parent());
  document.Put(u"info", JsonText(record.Info()));
  document.Put(u"summary", JsonText(record.Summary()));
  document.Put(u"ident", JsonText(record.Ident()));
  document.Put(u"icon", JsonText(record.Icon()));
  document.Put(u"hidden", json::JsonValue::MakeBoolean(record.IsHidden()));
  document.Put(u"readOnly", json::JsonValue::MakeBoolean(record.IsReadOnly()));
  document.Put(u"disabled", json::JsonValue::MakeBoolean(record.IsDisabled()));
  document.Put(u"locked", json::JsonValue::MakeBoolean(record.IsLocked()));
  switch (record.ObjectType()) {
    case IPSObjectType::otInstance:
      PutInstanceJson(document, api::IPSInstance(api::IPS_GetInstance(id)), record);
      break;
    case IPSObjectType::otVariable:
      PutVariableJson(document, api::IPS_GetVariable(id));
      break;
    case IPSObjectType::otScript:
      PutScriptJson(document, api::IPS_GetScript(id));
      break;
    case IPSObjectType::otLink:
      document.PutInt(u"target", api::IPSLink(api::IPS_GetLink(id)).Target());
      break;
    default:
      break;
  }
  return document;
}

}  // namespace

void Show(telnet::Session& session, const std::u16string& commandline) {
  const JsonOption json = TakeJsonOption(commandline);
  const std::u16string& command = json.commandline;
  const std::u16string obj = text::GetObjectFromCommandline(command);
  const auto id = ResolveObjectArgument(obj, session.currentDir, api::IPS_GetObjectIDByName);
  if (!id || !api::IPS_ObjectExists(*id)) {
    session.Fail(u"Object not found: " + obj);
    return;
  }

  const api::IPSObject record(api::IPS_GetObject(*id));
  if (json.requested) {
    WriteJson(session, ShowDocument(record, *id));
    return;
  }
  std::vector<std::u16string> output{
      u" This command needs to be enhanced. Still a lot of work to do...", u""};
  output.push_back(u"   Object ID: \t\t" + text::IntToStr(record.ID()));
  output.push_back(u"   Object Name: \t\t" + text::Inert(record.Name()));
  output.push_back(u"   Object Info: \t\t" + text::Inert(record.Info()));
  output.push_back(u"   Object Summary: \t\t" + text::Inert(record.Summary()));
  output.push_back(u"   Object has Children: \t" + BoolText(record.HasChildren()));
  output.push_back(u"   Object is Hidden: \t" + BoolText(record.IsHidden()));
  output.push_back(u"   Object Ident: \t\t" + text::Inert(record.Ident()));
  output.push_back(u"   Object Icon: \t\t" + text::Inert(record.Icon()));
  AddTypeLines(record, *id, output);
  session.WriteFormated(output);
}

}  // namespace velmar::shell
