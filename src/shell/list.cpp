#include "shell/list.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "shell/change_dir.h"
#include "shell/object_argument.h"
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

// One line of the listing with the keys it is ordered by.
struct ListLine {
  std::int32_t position;
  std::u16string nameKey;
  std::u16string text;
};

// Orders by position, then by the first word of the name (code unit by code unit, so upper
// case comes first); lines that tie keep the order in which the server listed them.
void SortListLines(std::vector<ListLine>& lines) {
  std::stable_sort(lines.begin(), lines.end(), [](const ListLine& a, const ListLine& b) {
    if (a.position != b.position) return a.position < b.position;
    return a.nameKey < b.nameKey;
  });
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

// Type label and value of one child, fetching what its kind needs; nothing when the kind is
// not selected.
std::optional<TypeAndValue> DescribeChild(std::int32_t id, const api::IPSObject& obj,
                                          const ListSelection& s) {
  const bool children = obj.HasChildren();
  switch (obj.ObjectType()) {
    case IPSObjectType::otCategory:
      if (!s.ListCategory) return std::nullopt;
      return TypeAndValue{formatObjectType(u"Category", children, ConsoleColor::ccNone), {}};
    case IPSObjectType::otInstance: {
      api::IPSInstance instance(api::IPS_GetInstance(id));
      if (!InstanceSelected(instance.ModuleType(), s)) return std::nullopt;
      return TypeAndValue{formatObjectType(u"Instance", children, ConsoleColor::ccWhite),
                          text::Inert(obj.Summary())};
    }
    case IPSObjectType::otVariable: {
      if (!s.ListVariable) return std::nullopt;
      api::IPSVariable variable(api::IPS_GetVariable(id));
      std::u16string value = text::Inert(variable.ValueBuffer());
      if (variable.VariableType() == IPSVariableType::vtString) value = u"\"" + value + u"\"";
      return TypeAndValue{formatObjectType(VariableTypeWord(variable.VariableType()), children,
                                           ConsoleColor::ccBlue),
                          std::move(value)};
    }
    case IPSObjectType::otScript: {
      if (!s.ListScript) return std::nullopt;
      api::IPSScript script(api::IPS_GetScript(obj.ID()));
      std::u16string value = text::Inert(script.ScriptFile());
      if (script.IsBroken()) value = u"\x1b[31m!!\x1b[0m" + value;
      return TypeAndValue{formatObjectType(u"Script", children, ConsoleColor::ccRed),
                          std::move(value)};
    }
    case IPSObjectType::otEvent:
      if (!s.ListEvent) return std::nullopt;
      return TypeAndValue{formatObjectType(u"Event", children, ConsoleColor::ccNone), {}};
    case IPSObjectType::otMedia:
      if (!s.ListMedia) return std::nullopt;
      return TypeAndValue{formatObjectType(u"Media", children, ConsoleColor::ccNone), {}};
    case IPSObjectType::otLink: {
      if (!s.ListLink) return std::nullopt;
      api::IPSLink link(api::IPS_GetLink(obj.ID()));
      return TypeAndValue{formatObjectType(u"Link", true, ConsoleColor::ccNone),
                          u" -> " + text::IntToStr(link.Target())};
    }
  }
  // A type the server has and this program does not know: shown in a plain listing with its
  // number, since no option names it.
  if (!s.IsDefault) return std::nullopt;
  const auto number = static_cast<int>(obj.ObjectType());
  return TypeAndValue{
      formatObjectType(u"Type " + text::IntToStr(number), children, ConsoleColor::ccNone), {}};
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

void List(telnet::Session& session, const std::u16string& command) {
  // Without an argument the current category is listed and options are read from the whole
  // line; with one, options are read only after it, so that a name such as "Strom -Verbrauch"
  // selects nothing.
  std::int32_t category = session.currentDir;
  ListSelection selection;
  if (const auto argument = CategoryArgument(command)) {
    const auto listed = ListedCategory(session, *argument);
    if (!listed) return;
    category = *listed;
    selection = ParseListOptions(TextAfterArgument(command));
  } else {
    selection = ParseListOptions(command);
  }
  const api::IPSList objectlist = api::MakeList(api::IPS_GetChildrenIDs(category));
  // The children's requests only read, so several children are asked about at once; their
  // lines are kept in the children's order, as if asked one after the other.
  std::vector<std::optional<ListLine>> childLines(objectlist.size());
  api::RunRequestsTogether(objectlist.size(), [&](std::size_t index) {
    const std::uint16_t id = objectlist[index];
    if (id == 0) return;
    const api::IPSObject obj(api::IPS_GetObject(id));
    if (obj.Parent() != category) return;
    auto described = DescribeChild(id, obj, selection);
    if (!described) return;
    // The keys stand beside the text, so every character of a name or value is shown.
    const std::u16string nameField = NameField(obj.Name());
    std::u16string line = text::IntToStr(obj.Position());  // the lead word WriteFormated drops
    line += u' ';
    line += PadLeft(text::IntToStr(id), kIDWidth);
    line += u' ';
    line += described->type;
    line += u' ';
    line += text::Inert(nameField);
    line += u' ';
    line += described->value;
    childLines[index] = ListLine{obj.Position(), NameKey(nameField), std::move(line)};
  });
  std::vector<ListLine> lines;
  for (auto& line : childLines)
    if (line) lines.push_back(std::move(*line));
  SortListLines(lines);

  std::vector<std::u16string> output;
  output.reserve(lines.size() + 2);
  // The name reads like the names of the object records, so that "Küche" or "Łazienka"
  // reads the same in both places.
  const std::u16string name = api::IPS_GetNameUnicode(category);
  output.push_back(u" -Showing Object: " + text::IntToStr(category) + u" - " + text::Inert(name));
  output.emplace_back();
  for (ListLine& line : lines) output.push_back(std::move(line.text));
  session.WriteFormated(output);
}

}  // namespace velmar::shell
