#pragma once

#include <cstdint>
#include <string>

#include "api/json_rpc.h"

// The server methods that Velmar uses, one function each, named as the server names them.
// Object IDs are signed 32-bit; names and text results are code-page text. Functions that
// return a JSON value hand over the reply's "result" (no value when the reply has none);
// the others fail with velmar::Error when the reply has no "result".
namespace velmar::api {

bool IPS_ObjectExists(std::int32_t id);
JsonRef IPS_GetObject(std::int32_t id);
JsonRef IPS_GetObjectList();
std::int32_t IPS_GetObjectIDByName(const std::string& name, std::int32_t parentId);
JsonRef IPS_GetChildrenIDs(std::int32_t id);
std::string IPS_GetName(std::int32_t id);
JsonRef IPS_GetInstance(std::int32_t id);
bool IPS_ScriptExists(std::int32_t id);
JsonRef IPS_GetScript(std::int32_t id);
std::int32_t IPS_GetScriptIDByName(const std::string& name, std::int32_t parentId);
bool IPS_VariableExists(std::int32_t id);
JsonRef IPS_GetVariable(std::int32_t id);
std::int32_t IPS_GetVariableIDByName(const std::string& name, std::int32_t parentId);
JsonRef IPS_GetLink(std::int32_t id);
bool SetValueBoolean(std::int32_t variableId, bool value);
bool SetValueInteger(std::int32_t variableId, std::int32_t value);
bool SetValueFloat(std::int32_t variableId, double value);
bool SetValueString(std::int32_t variableId, const std::string& value);
std::string IPS_GetKernelVersion();
// Seconds since 1970-01-01 00:00:00 UTC.
std::int32_t IPS_GetKernelStartTime();
bool IPS_RunScript(std::int32_t scriptId);
std::string IPS_RunScriptWait(std::int32_t scriptId);

}  // namespace velmar::api
