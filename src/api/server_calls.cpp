#include "api/server_calls.h"

#include "core/error.h"
#include "text/encoding.h"

namespace velmar::api {

namespace {

JsonRef RequireResult(const char* method, const RpcParams& params) {
  JsonRef result = MakeRPCRequest(method, params);
  if (!result) throw Error(std::string("The server's reply to ") + method + " has no result.");
  return result;
}

bool BooleanCall(const char* method, const RpcParams& params) {
  return RequireResult(method, params).AsBoolean();
}

// The integer result's low 32 bits, read as a signed number.
std::int32_t IntegerCall(const char* method, const RpcParams& params) {
  auto value = static_cast<std::uint64_t>(RequireResult(method, params).AsInteger());
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Text results come back as code-page text, byte for byte as the reply was read.
std::string TextCall(const char* method, const RpcParams& params) {
  return text::UnicodeToCodePage(RequireResult(method, params).AsString());
}

// Text results as Unicode. The reply was read one character per byte, so raw UTF-8 is
// repaired here as in the records; characters that came as \u escapes stay as they are.
std::u16string UnicodeTextCall(const char* method, const RpcParams& params) {
  return text::Utf8Repair(RequireResult(method, params).AsString());
}

}  // namespace

bool IPS_ObjectExists(std::int32_t id) {
  return BooleanCall("IPS_ObjectExists", {id});
}

JsonRef IPS_GetObject(std::int32_t id) {
  return MakeRPCRequest("IPS_GetObject", {id});
}

JsonRef IPS_GetObjectList() {
  return MakeRPCRequest("IPS_GetObjectList", {});
}

std::int32_t IPS_GetObjectIDByName(const ServerText& name, std::int32_t parentId) {
  return IntegerCall("IPS_GetObjectIDByName", {name.unicode(), parentId});
}

JsonRef IPS_GetChildrenIDs(std::int32_t id) {
  return MakeRPCRequest("IPS_GetChildrenIDs", {id});
}

std::string IPS_GetName(std::int32_t id) {
  return TextCall("IPS_GetName", {id});
}

JsonRef IPS_GetInstance(std::int32_t id) {
  return MakeRPCRequest("IPS_GetInstance", {id});
}

bool IPS_ScriptExists(std::int32_t id) {
  return BooleanCall("IPS_ScriptExists", {id});
}

JsonRef IPS_GetScript(std::int32_t id) {
  return MakeRPCRequest("IPS_GetScript", {id});
}

std::int32_t IPS_GetScriptIDByName(const ServerText& name, std::int32_t parentId) {
  return IntegerCall("IPS_GetScriptIDByName", {name.unicode(), parentId});
}

bool IPS_VariableExists(std::int32_t id) {
  return BooleanCall("IPS_VariableExists", {id});
}

JsonRef IPS_GetVariable(std::int32_t id) {
  return MakeRPCRequest("IPS_GetVariable", {id});
}

std::int32_t IPS_GetVariableIDByName(const ServerText& name, std::int32_t parentId) {
  return IntegerCall("IPS_GetVariableIDByName", {name.unicode(), parentId});
}

JsonRef IPS_GetLink(std::int32_t id) {
  return MakeRPCRequest("IPS_GetLink", {id});
}

bool SetValueBoolean(std::int32_t variableId, bool value) {
  return BooleanCall("SetValueBoolean", {variableId, value});
}

bool SetValueInteger(std::int32_t variableId, std::int32_t value) {
  return BooleanCall("SetValueInteger", {variableId, value});
}

bool SetValueFloat(std::int32_t variableId, double value) {
  return BooleanCall("SetValueFloat", {variableId, value});
}

bool SetValueString(std::int32_t variableId, const ServerText& value) {
  return BooleanCall("SetValueString", {variableId, value.unicode()});
}

std::string IPS_GetKernelVersion() {
  return TextCall("IPS_GetKernelVersion", {});
}

std::int32_t IPS_GetKernelStartTime() {
  return IntegerCall("IPS_GetKernelStartTime", {});
}

bool IPS_RunScript(std::int32_t scriptId) {
  return BooleanCall("IPS_RunScript", {scriptId});
}

std::string IPS_RunScriptWait(std::int32_t scriptId) {
  return TextCall("IPS_RunScriptWait", {scriptId});
}

JsonRef IPS_GetInstanceListByModuleID(const std::string& moduleID) {
  return MakeRPCRequest("IPS_GetInstanceListByModuleID", {moduleID});
}

bool AC_GetLoggingStatus(std::int32_t archiveId, std::int32_t variableId) {
  return BooleanCall("AC_GetLoggingStatus", {archiveId, variableId});
}

std::int32_t AC_GetAggregationType(std::int32_t archiveId, std::int32_t variableId) {
  return IntegerCall("AC_GetAggregationType", {archiveId, variableId});
}

namespace {

// A parameter list of 64-bit integers (Unix times outlive 32 bits in 2038).
JsonRef IntegerParams(std::initializer_list<std::int64_t> values) {
  JsonRef params = JsonRef::MakeArray();
  for (const std::int64_t value : values) params.AsArray()->Add(JsonRef::MakeInt(value));
  return params;
}

}  // namespace

JsonRef AC_GetLoggedValues(std::int32_t archiveId, std::int32_t variableId, std::int64_t startTime,
                           std::int64_t endTime, std::int32_t limit) {
  return MakeRPCRequestEx("AC_GetLoggedValues",
                          IntegerParams({archiveId, variableId, startTime, endTime, limit}));
}

JsonRef AC_GetAggregatedValues(std::int32_t archiveId, std::int32_t variableId,
                               std::int32_t aggregationLevel, std::int64_t startTime,
                               std::int64_t endTime, std::int32_t limit) {
  return MakeRPCRequestEx(
      "AC_GetAggregatedValues",
      IntegerParams({archiveId, variableId, aggregationLevel, startTime, endTime, limit}));
}

JsonRef IPS_GetVariableProfile(const ServerText& name) {
  return MakeRPCRequest("IPS_GetVariableProfile", {name.unicode()});
}

std::u16string IPS_GetNameUnicode(std::int32_t id) {
  return UnicodeTextCall("IPS_GetName", {id});
}

std::u16string IPS_RunScriptWaitUnicode(std::int32_t scriptId) {
  return UnicodeTextCall("IPS_RunScriptWait", {scriptId});
}

}  // namespace velmar::api
