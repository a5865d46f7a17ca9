#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "api/json_rpc.h"
#include "text/encoding.h"

// The server methods that Velmar uses, one function each, named as the server names them.
// Object IDs are signed 32-bit; text results are code-page text. Functions that return a
// JSON value hand over the reply's "result" (no value when the reply has none); the others
// fail with velmar::Error when the reply has no "result".
namespace velmar::api {

// Text sent to the server (a name to look up, a string value): Unicode, which reaches the
// server with every character it has, or code-page text (Windows-1252 bytes), taken as the
// characters those bytes stand for.
class ServerText {
 public:
  ServerText(std::u16string_view unicode) : text_(unicode) {}
  ServerText(const std::u16string& unicode) : text_(unicode) {}
  ServerText(const char16_t* unicode) : text_(unicode) {}
  ServerText(const std::string& codePage) : text_(text::CodePageToUnicode(codePage)) {}
  ServerText(const char* codePage) : text_(text::CodePageToUnicode(codePage)) {}

  const std::u16string& unicode() const noexcept { return text_; }

 private:
  std::u16string text_;
};

bool IPS_ObjectExists(std::int32_t id);
JsonRef IPS_GetObject(std::int32_t id);
JsonRef IPS_GetObjectList();
std::int32_t IPS_GetObjectIDByName(const ServerText& name, std::int32_t parentId);
JsonRef IPS_GetChildrenIDs(std::int32_t id);
std::string IPS_GetName(std::int32_t id);
JsonRef IPS_GetInstance(std::int32_t id);
bool IPS_ScriptExists(std::int32_t id);
JsonRef IPS_GetScript(std::int32_t id);
std::int32_t IPS_GetScriptIDByName(const ServerText& name, std::int32_t parentId);
bool IPS_VariableExists(std::int32_t id);
JsonRef IPS_GetVariable(std::int32_t id);
std::int32_t IPS_GetVariableIDByName(const ServerText& name, std::int32_t parentId);
JsonRef IPS_GetLink(std::int32_t id);
bool SetValueBoolean(std::int32_t variableId, bool value);
bool SetValueInteger(std::int32_t variableId, std::int32_t value);
bool SetValueFloat(std::int32_t variableId, double value);
bool SetValueString(std::int32_t variableId, const ServerText& value);
std::string IPS_GetKernelVersion();
// Seconds since 1970-01-01 00:00:00 UTC.
std::int32_t IPS_GetKernelStartTime();
bool IPS_RunScript(std::int32_t scriptId);
std::string IPS_RunScriptWait(std::int32_t scriptId);

// The Archive Control (logged values). Times are Unix seconds; 0 as a start means "from the
// beginning", as an end "until now". The lists come newest first, at most 10,000 records a
// call whatever `limit` asks for (0 = as many as allowed).
JsonRef IPS_GetInstanceListByModuleID(const std::string& moduleID);
bool AC_GetLoggingStatus(std::int32_t archiveId, std::int32_t variableId);
std::int32_t AC_GetAggregationType(std::int32_t archiveId, std::int32_t variableId);
JsonRef AC_GetLoggedValues(std::int32_t archiveId, std::int32_t variableId, std::int64_t startTime,
                           std::int64_t endTime, std::int32_t limit);
JsonRef AC_GetAggregatedValues(std::int32_t archiveId, std::int32_t variableId,
                               std::int32_t aggregationLevel, std::int64_t startTime,
                               std::int64_t endTime, std::int32_t limit);
// The record of a variable profile (Prefix, Suffix, Digits, ...).
JsonRef IPS_GetVariableProfile(const ServerText& name);

// IPS_GetName and IPS_RunScriptWait with their text as Unicode, read as the object records
// read their texts: raw UTF-8 from the server is decoded, and characters that came as \u
// escapes are kept, also those that no code page holds.
std::u16string IPS_GetNameUnicode(std::int32_t id);
std::u16string IPS_RunScriptWaitUnicode(std::int32_t scriptId);

}  // namespace velmar::api
