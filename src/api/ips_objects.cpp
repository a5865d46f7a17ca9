#include "api/ips_objects.h"

#include <algorithm>

#include "api/server_calls.h"
#include "core/error.h"
#include "platform/time_zone.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::api {

namespace {

std::int32_t ToInteger(const JsonRef& value) {
  auto number = static_cast<std::uint64_t>(value.AsInteger());
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

template <typename Enum>
Enum ToEnumeration(const JsonRef& value) {
  return static_cast<Enum>(static_cast<std::uint8_t>(value.AsInteger()));
}

bool ToBoolean(const JsonRef& value) {
  return value.AsBoolean();
}

// The reply was read one character per byte, so text the server sent as UTF-8 is decoded here.
std::u16string ToText(const JsonRef& value) {
  return text::Utf8Repair(value.AsString());
}

DateTime ToDateTime(const JsonRef& value) {
  return UnixToLocalDateTime(value.AsInteger());
}

const JsonRef& RequireObject(const JsonRef& value, const char* record) {
  if (!value || value.DataType() != json::JsonType::stObject)
    throw Error(std::string("The server's ") + record + " record is not a JSON object.");
  return value;
}

// Stores the converted member `key` of `record` in `field` when the member is there (a null
// member is there, and converts to the null result).
template <typename Field, typename Convert>
void Read(const JsonRef& record, std::u16string_view key, Field& field, Convert convert) {
  if (JsonRef member = record.Get(key)) field = convert(member);
}

}  // namespace

double TimeZoneBias() {
  return platform::TimeZoneBias();
}

DateTime UnixToLocalDateTime(std::int64_t seconds) {
  constexpr double kUnixEpoch = 25569.0;  // 1970-01-01 as days since 1899-12-30
  // The offset of the moment itself: a winter time stamp read in summer still shows winter
  // time, as the clocks on the wall showed it then.
  return kUnixEpoch + static_cast<double>(seconds) / 86400.0 - platform::TimeZoneBiasAt(seconds);
}

IPSList MakeList(const JsonRef& value) {
  if (!value) throw Error("The server sent no list of object IDs.");
  std::u16string listText = text::Utf8Repair(value.AsString());
  std::erase_if(listText, [](char16_t c) { return c == u'[' || c == u']'; });
  IPSList list;
  for (const std::u16string& piece : text::explode(listText, u',', true, false))
    list.push_back(static_cast<std::uint16_t>(text::StrToInt(piece)));
  return list;
}

IPSObject::IPSObject(const JsonRef& obj) {
  RequireObject(obj, "object");
  Read(obj, u"ObjectInfo", info_, ToText);
  Read(obj, u"ObjectIcon", icon_, ToText);
  Read(obj, u"ObjectSummary", summary_, ToText);
  Read(obj, u"ChildrenIDs", children_, MakeList);
  Read(obj, u"ObjectIsReadOnly", isReadOnly_, ToBoolean);
  Read(obj, u"ObjectIsLocked", isLocked_, ToBoolean);
  Read(obj, u"ObjectID", id_, ToInteger);
  Read(obj, u"ParentID", parent_, ToInteger);
  Read(obj, u"ObjectIdent", ident_, ToText);
  Read(obj, u"ObjectPosition", position_, ToInteger);
  Read(obj, u"HasChildren", hasChildren_, ToBoolean);
  Read(obj, u"ObjectIsDisabled", isDisabled_, ToBoolean);
  Read(obj, u"ObjectIsHidden", isHidden_, ToBoolean);
  Read(obj, u"ObjectType", objectType_, ToEnumeration<IPSObjectType>);
  Read(obj, u"ObjectName", name_, ToText);
}

IPSVariable::IPSVariable(const JsonRef& obj) {
  RequireObject(obj, "variable");
  Read(obj, u"VariableID", id_, ToInteger);
  Read(obj, u"VariableChanged", changed_, ToDateTime);
  Read(obj, u"VariableUpdated", updated_, ToDateTime);
  Read(obj, u"VariableType", variableType_, ToEnumeration<IPSVariableType>);
  Read(obj, u"VariableValue", valueBuffer_, ToText);

  JsonRef object = IPS_GetObject(id_);
  RequireObject(object, "object");
  Read(object, u"ObjectName", name_, ToText);
  Read(object, u"ParentID", parent_, ToInteger);
}

IPSInstance::IPSInstance(const JsonRef& obj) {
  RequireObject(obj, "instance");
  Read(obj, u"InstanceStatus", status_, ToInteger);
  Read(obj, u"InstanceIsSearching", isSearching_, ToBoolean);
  Read(obj, u"InstanceID", id_, ToInteger);
  if (JsonRef moduleInfo = obj.Get(u"ModuleInfo")) {
    RequireObject(moduleInfo, "module info");
    Read(moduleInfo, u"ModuleID", moduleID_, ToText);
    Read(moduleInfo, u"ModuleType", moduleType_, ToEnumeration<IPSModuleType>);
    Read(moduleInfo, u"ModuleName", moduleName_, ToText);
  }
  Read(obj, u"InstanceChanged", changed_, ToInteger);
  Read(obj, u"ConnectionID", connectionID_, ToInteger);
  Read(obj, u"InstanceSupportsSearching", supportSearching_, ToBoolean);
}

IPSScript::IPSScript(const JsonRef& obj) {
  RequireObject(obj, "script");
  Read(obj, u"ScriptType", scriptType_, ToInteger);
  Read(obj, u"ScriptFile", scriptFile_, ToText);
  Read(obj, u"ScriptExecuted", executed_, ToDateTime);
  Read(obj, u"ScriptIsBroken", isBroken_, ToBoolean);
  Read(obj, u"ScriptID", id_, ToInteger);
}

IPSLink::IPSLink(const JsonRef& obj) {
  RequireObject(obj, "link");
  Read(obj, u"LinkID", id_, ToInteger);
  Read(obj, u"TargetID", target_, ToInteger);
}

}  // namespace velmar::api
