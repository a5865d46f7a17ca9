// Output for scripts: the "-json" option of the commands, and the pieces their documents are
// made of (docs/json-output.md describes every shape). A document is built with the json
// value types and written as one line of UTF-8 text; JSON Lines are several such lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.h"
#include "telnet/session.h"

namespace velmar::shell {

// A command line with its "-json" option taken out (see text::TakeOptionWord), and whether
// there was one.
struct JsonOption {
  bool requested = false;
  std::u16string commandline;
};
JsonOption TakeJsonOption(const std::u16string& commandline);

// A moment (Unix seconds, as the server sends its time stamps) as an ISO 8601 string in the
// host's local time with its offset ("2026-12-11T14:03:12+01:00"); null for 0, which the
// server sends for "never", and for a moment no calendar holds.
json::JsonValue JsonTime(std::int64_t unixSeconds);
// The same for a time stamp member as the server sent it (an integer, or a float in some
// versions); null when there is none.
json::JsonValue JsonTime(const json::JsonValue& serverTimeStamp);

// A text of ours (a name already repaired, a formatted value) as a JSON string.
json::JsonValue JsonText(std::u16string text);

// A value as the server sent it, for a document: the same JSON type and number; strings (and
// the strings and names inside arrays and objects) are repaired from the UTF-8 the reply
// carried, as the records read their texts; null when there is none.
json::JsonValue ServerValue(const json::JsonValue& value);

// Puts a variable's value into `object` as the members "value" (ServerValue) and "text" (the
// value as the shell shows it, `text`).
void PutValue(json::JsonValue& object, const json::JsonValue& serverValue, std::u16string text);

// Writes `document` as one line of compact JSON, UTF-8, ended by CR LF like every line of
// the shell; characters that could act on a terminal are escaped (json::AsJsonDocument).
void WriteJson(telnet::Session& session, const json::JsonValue& document);

}  // namespace velmar::shell
