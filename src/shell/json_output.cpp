#include "shell/json_output.h"

#include "json/writer.h"
#include "platform/time_zone.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {

JsonOption TakeJsonOption(const std::u16string& commandline) {
  if (auto rest = text::TakeOptionWord(commandline, u"-json")) return {true, std::move(*rest)};
  return {false, commandline};
}

json::JsonValue JsonTime(std::int64_t unixSeconds) {
  if (unixSeconds == 0) return json::JsonValue::MakeNull();
  const std::string iso = platform::FormatIso8601(unixSeconds);
  if (iso.empty()) return json::JsonValue::MakeNull();
  return json::JsonValue::MakeString(text::Utf8ToUtf16(iso));
}

json::JsonValue JsonTime(const json::JsonValue& serverTimeStamp) {
  if (!serverTimeStamp) return json::JsonValue::MakeNull();
  return JsonTime(serverTimeStamp.AsInteger());
}

json::JsonValue JsonText(std::u16string text) {
  return json::JsonValue::MakeString(std::move(text));
}

json::JsonValue ServerValue(const json::JsonValue& value) {
  if (!value) return json::JsonValue::MakeNull();
  switch (value.DataType()) {
    case json::JsonType::stString:
      return json::JsonValue::MakeString(text::Utf8Repair(value.AsString()));
    case json::JsonType::stArray: {
      json::JsonValue copy = json::JsonValue::MakeArray();
      for (const json::JsonValue& item : *value.AsArray()) copy.AsArray()->Add(ServerValue(item));
      return copy;
    }
    case json::JsonType::stObject: {
      json::JsonValue copy = json::JsonValue::MakeObject();
      for (const auto& entry : *value.AsObject())
        copy.Put(text::Utf8Repair(entry.name), ServerValue(entry.value));
      return copy;
    }
    default:
      return value;
  }
}

void PutValue(json::JsonValue& object, const json::JsonValue& serverValue, std::u16string text) {
  object.Put(u"value", ServerValue(serverValue));
  object.Put(u"text", JsonText(std::move(text)));
}

void WriteJson(telnet::Session& session, const json::JsonValue& document) {
  session.WriteLn(json::AsJsonDocument(document));
}

}  // namespace velmar::shell
