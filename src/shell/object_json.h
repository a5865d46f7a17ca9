// How the documents of ls, show and tree (-json) describe an object: the members of its
// object record, and what its kind adds. docs/json-output.md shows each.
#pragma once

#include <string>

#include "api/ips_objects.h"
#include "json/value.h"

namespace velmar::shell {

// The object's kind as a word: "category", "instance", "variable", "script", "event", "media",
// "link"; "unknown" for a type this program does not know.
std::u16string ObjectTypeWord(api::IPSObjectType type);

// The members every document gives an object: "id", "name", "type", "objectType" (the server's
// number), "position" and "hasChildren".
json::JsonValue ObjectJson(const api::IPSObject& record);

// The members IPS_GetVariable's `reply` adds: "variableType" (a word, or the number of a type
// this program does not know), "value" (as the server sent it), "text" (the value as the shell
// shows it), "changed" and "updated" (ISO 8601 times).
void PutVariableJson(json::JsonValue& object, const json::JsonValue& reply);

// The members IPS_GetScript's `reply` adds: "file", "executed" (null when never), "broken".
void PutScriptJson(json::JsonValue& object, const json::JsonValue& reply);

// The members an instance adds: "module" (its name), "moduleType" (a word, or the number of a
// type this program does not know) and "summary".
void PutInstanceJson(json::JsonValue& object, const api::IPSInstance& instance,
                     const api::IPSObject& record);

}  // namespace velmar::shell
