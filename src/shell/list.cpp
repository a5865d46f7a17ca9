#include "shell/list.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "shell/change_dir.h"
#include "shell/json_output.h"
#include "shell/object_argument.h"
#include "shell/object_json.h"
#include "text/arguments.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {

namespace {

using api::IPSModuleType;
using api::IPSObjectType;
using api::IPSVariableType;
using text::ConsoleColor;

constexpr std::size_t kNameWidth = 18;
constexpr std::size_t kIDWidth = 5;

std::u16string PadLeft(std::u16string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), u' ');
  return text;
}

// The name field: the first 18 characters, trimmed, filled up to 18 again.
std::u16string NameField(std::u16string_view name) {
  std::u16string field = text::Trim(name.substr(0, kNameWidth));
  field.resize(kNameWidth, u' ');
  return field;
}

// The first word of the name field: what a listing orders by after the position.
std::u16string NameKey(std::u16string_view nameField) {
  return std::u16string(nameField.substr(0, nameField.find(u' ')));
}

struct TypeAndValue {
  std::u16string type;
  std::u16string value;
};

bool InstanceSelected(IPSModuleType type, const ListSelection& s) {
  switch (type) {
    case IPSModuleType::mtCore:
      return s.ListCore;
    case IPSModuleType::mtIO:
      return s.ListIO;
    case IPSModuleType::mtSplitter:
      return s.ListSplitter;
    case IPSModuleType::mtDevice:
      return s.ListDevice;
    case IPSModuleType::mtConfigurator:
      return s.ListConfigurator;
  }
  return false;  // a module type the listing knows no option for
}

std::u16string VariableTypeWord(IPSVariableType type) {
  switch (type) {
    case IPSVariableType::vtBoolean:
      return u"Boolean";
    case IPSVariableType::vtInteger:
      return u"Integer";
    case IPSVariableType::vtFloat:
      return u"Float";
    case IPSVariableType::vtString:
      return u"String";
  }
  return u"Unknown";
}

// What a listing learns of one selected child: its object record and what its kind needs
// fetched besides.
struct Child {
  api::IPSObject record;
  std::optional<api::IPSInstance> instance;
  json::JsonValue variableReply;
  std::optional<api::IPSVariable> variable;
  json::JsonValue scriptReply;
  std::optional<api::IPSScript> script;
  std::optional<api::IPSLink> link;
};

bool KindSelected(IPSObjectType type, const ListSelection& s) {
  switch (type) {
    case IPSObjectType::otCategory:
      return s.ListCategory;
    case IPSObjectType::otInstance:
      return true;  // decided by its module type
    case IPSObjectType::otVariable:
      return s.ListVariable;
    case IPSObjectType::otScript:
      return s.ListScript;
    case IPSObjectType::otEvent:
      return s.ListEvent;
    case IPSObjectType::otMedia:
      return s.ListMedia;
    case IPSObjectType::otLink:
      return s.ListLink;
  }
  // A type the server has and this program does not know: shown in a plain listing, since
  // no option names it.
  return s.IsDefault;
}

// Fetches what the child's kind needs; nothing when the kind is not selected.
std::optional<Child> FetchChild(std::int32_t id, api::IPSObject record, const ListSelection& s) {
  if (!KindSelected(record.ObjectType(), s)) return std::nullopt;
  Child child{std::move(record), {}, {}, {}, {}, {}, {}};
  switch (child.record.ObjectType()) {
    case IPSObjectType::otInstance:
      child.instance.emplace(api::IPS_GetInstance(id));
      if (!InstanceSelected(child.instance->ModuleType(), s)) return std::nullopt;
      break;
    case IPSObjectType::otVariable:
      child.variableReply = api::IPS_GetVariable(id);
      child.variable.emplace(child.variableReply);
      break;
    case IPSObjectType::otScript:
      child.scriptReply = api::IPS_GetScript(child.record.ID());
      child.script.emplace(child.scriptReply);
      break;
    case IPSObjectType::otLink:
      child.link.emplace(api::IPS_GetLink(child.record.ID()));
      break;
    default:
      break;
  }
  return child;
}

// Type label and value of one child as its listing line shows them.
TypeAndValue DescribeChild(const Child& child) {
  const api::IPSObject& obj = child.record;
  const bool children = obj.HasChildren();
  switch (obj.ObjectType()) {
    case IPSObjectType::otCategory:
      return {formatObjectType(u"Category", children, ConsoleColor::ccNone), {}};
    case IPSObjectType::otInstance:
      return {formatObjectType(u"Instance", children, ConsoleColor::ccWhite),
              text::Inert(obj.Summary())};
    case IPSObjectType::otVariable: {
      const api::IPSVariable& variable = *child.variable;
      std::u16string value = text::Inert(variable.ValueBuffer());
      if (variable.VariableType() == IPSVariableType::vtString) value = u"\"" + value + u"\"";
      return {formatObjectType(VariableTypeWord(variable.VariableType()), children,
                               ConsoleColor::ccBlue),
              std::move(value)};
    }
    case IPSObjectType::otScript: {
      const api::IPSScript& script = *child.script;
      std::u16string value = text::Inert(script.ScriptFile());
      if (script.IsBroken()) value = u"\x1b[31m!!\x1b[0m" + value;
      return {formatObjectType(u"Script", children, ConsoleColor::ccRed), std::move(value)};
    }
    case IPSObjectType::otEvent:
      return {formatObjectType(u"Event", children, ConsoleColor::ccNone), {}};
    case IPSObjectType::otMedia:
      return {formatObjectType(u"Media", children, ConsoleColor::ccNone), {}};
    case IPSObjectType::otLink:
      return {formatObjectType(u"Link", true, ConsoleColor::ccNone),
              u" -> " + text::IntToStr(child.link->Target())};
  }
  const auto number = static_cast<int>(obj.ObjectType());
  return {formatObjectType(u"Type " + text::IntToStr(number), children, ConsoleColor::ccNone), {}};
}

// The child's line: the position as the lead word WriteFormated drops, then ID, type label,
// name and value. The keys stand beside the text, so every character of a name or value is
// shown.
std::u16string ListingLine(const Child& child) {
  const TypeAndValue described = DescribeChild(child);
  std::u16string line = text::IntToStr(child.record.Position());
  line += u' ';
  line += PadLeft(text::IntToStr(child.record.ID()), kIDWidth);
  line += u' ';
  line += described.type;
  line += u' ';
  line += text::Inert(NameField(child.record.Name()));
  line += u' ';
  line += described.value;
  return line;
}

// The child as the document of ls -json gives it.
json::JsonValue ChildJson(const Child& child) {
  json::JsonValue object = ObjectJson(child.record);
  if (child.instance) PutInstanceJson(object, *child.instance, child.record);
  if (child.variableReply) PutVariableJson(object, child.variableReply);
  if (child.scriptReply) PutScriptJson(object, child.scriptReply);
  if (child.link) object.PutInt(u"target", child.link->Target());
  return object;
}

// The category argument of a listing command: the first word after the command word, or
// the quoted text, unless it is an option (an unquoted word that starts with "-"). Nothing
// when the line has no such argument.
std::optional<std::u16string> CategoryArgument(std::u16string_view command) {
  const std::size_t space = command.find(u' ');
  if (space == std::u16string_view::npos) return std::nullopt;
  const std::u16string rest = text::Trim(command.substr(space + 1));
  if (rest.empty() || rest.front() == u'-') return std::nullopt;
  std::u16string argument = text::GetObjectFromCommandline(command);
  if (argument.empty()) return std::nullopt;
  return argument;
}

// The category that the argument names (a link stands for its target); nothing after
// writing "Object not found: " and the argument.
std::optional<std::int32_t> ListedCategory(telnet::Session& session,
                                           const std::u16string& argument) {
  const auto id = DestinationID(session, argument);
  if (!id) return std::nullopt;
  const api::IPSObject record(api::IPS_GetObject(*id));
  if (record.ObjectType() == IPSObjectType::otLink)
    return api::IPSLink(api::IPS_GetLink(record.ID())).Target();
  return id;
}

}  // namespace

ListSelection ParseListOptions(std::u16string_view command) {
  const std::u16string line = text::UpperCase(command);
  auto has = [&line](std::initializer_list<std::u16string_view> options) {
    for (auto option : options) {
      if (line.find(option) != std::u16string::npos) return true;
    }
    return false;
  };
  ListSelection s;
  s.ListVariable = has({u" -V", u" -VARIABLE"});
  s.ListScript = has({u" -S", u" -SCRIPT"});
  s.ListMedia = has({u" -M", u" -MEDIA"});
  s.ListCategory = has({u" -C", u" -CATEGORY", u" -CATEGORIES"});
  s.ListEvent = has({u" -E", u" -EVENT"});
  s.ListLink = has({u" -L", u" -LINK"});
  s.ListDevice = has({u" -DEVICE"});
  s.ListIO = has({u" -IO"});
  s.ListCore = has({u" -CORE"});
  s.ListSplitter = has({u" -SPLITTER"});
  s.ListConfigurator = has({u" -CONFIGURATOR"});
  const bool any = s.ListVariable || s.ListScript || s.ListMedia || s.ListCategory || s.ListEvent ||
                   s.ListLink || s.ListDevice || s.ListIO || s.ListCore || s.ListSplitter ||
                   s.ListConfigurator;
  if (!any) {
    s.ListVariable = s.ListScript = s.ListMedia = s.ListCategory = true;
    s.ListEvent = s.ListDevice = s.ListLink = true;
    s.IsDefault = true;
  }
  return s;
}

std::u16string formatObjectType(std::u16string_view str, bool hasChildren, ConsoleColor color) {
  std::u16string label =
      color == ConsoleColor::ccNone ? std::u16string(str) : text::Colorize(str, color);
  label = hasChildren ? u"<" + label + u">" : u" " + label + u" ";
  if (str.size() < 10) label.append(10 - str.size(), u' ');
  return label;
}

bool ListedBefore(const api::IPSObject& a, const api::IPSObject& b) {
  if (a.Position() != b.Position()) return a.Position() < b.Position();
  return NameKey(NameField(a.Name())) < NameKey(NameField(b.Name()));
}

void List(telnet::Session& session, const std::u16string& command) {
  const JsonOption json = TakeJsonOption(command);
  // Without an argument the current category is listed and options are read from the whole
  // line; with one, options are read only after it, so that a name such as "Strom -Verbrauch"
  // selects nothing.
  std::int32_t category = session.currentDir;
  ListSelection selection;
  if (const auto argument = CategoryArgument(json.commandline)) {
    const auto listed = ListedCategory(session, *argument);
    if (!listed) return;
    category = *listed;
    selection = ParseListOptions(TextAfterArgument(json.commandline));
  } else {
    selection = ParseListOptions(json.commandline);
  }
  const api::IPSList objectlist = api::MakeList(api::IPS_GetChildrenIDs(category));
  // The children's requests only read, so several children are asked about at once; their
  // lines are kept in the children's order, as if asked one after the other.
  std::vector<std::optional<Child>> fetched(objectlist.size());
  api::RunRequestsTogether(objectlist.size(), [&](std::size_t index) {
    const std::uint16_t id = objectlist[index];
    if (id == 0) return;
    api::IPSObject obj(api::IPS_GetObject(id));
    if (obj.Parent() != category) return;
    fetched[index] = FetchChild(id, std::move(obj), selection);
  });
  std::vector<Child> children;
  for (auto& child : fetched)
    if (child) children.push_back(std::move(*child));
  // Ties keep the order in which the server listed the children.
  std::stable_sort(children.begin(), children.end(),
                   [](const Child& a, const Child& b) { return ListedBefore(a.record, b.record); });

  // The name reads like the names of the object records, so that "Küche" or "Łazienka"
  // reads the same in both places.
  const std::u16string name = api::IPS_GetNameUnicode(category);
  if (json.requested) {
    json::JsonValue list = json::JsonValue::MakeArray();
    for (const Child& child : children) list.AsArray()->Add(ChildJson(child));
    json::JsonValue document = json::JsonValue::MakeObject();
    document.PutInt(u"id", category);
    document.Put(u"name", JsonText(name));
    document.Put(u"children", list);
    WriteJson(session, document);
    return;
  }
  std::vector<std::u16string> output;
  output.reserve(children.size() + 2);
  output.push_back(u" -Showing Object: " + text::IntToStr(category) + u" - " + text::Inert(name));
  output.emplace_back();
  for (const Child& child : children) output.push_back(ListingLine(child));
  session.WriteFormated(output);
}

}  // namespace velmar::shell
