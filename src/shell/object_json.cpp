#include "shell/object_json.h"

#include "shell/json_output.h"
#include "text/encoding.h"

namespace velmar::shell {

namespace {

json::JsonValue Word(std::u16string_view word) {
  return json::JsonValue::MakeString(std::u16string(word));
}

// A word for the numbers a program knows, the number itself for the others.
json::JsonValue WordOrNumber(std::int64_t number,
                             std::initializer_list<std::u16string_view> words) {
  if (number >= 0 && static_cast<std::size_t>(number) < words.size())
    return Word(*(words.begin() + number));
  return json::JsonValue::MakeInt(number);
}

}  // namespace

std::u16string ObjectTypeWord(api::IPSObjectType type) {
  switch (type) {
    case api::IPSObjectType::otCategory:
      return u"category";
    case api::IPSObjectType::otInstance:
      return u"instance";
    case api::IPSObjectType::otVariable:
      return u"variable";
    case api::IPSObjectType::otScript:
      return u"script";
    case api::IPSObjectType::otEvent:
      return u"event";
    case api::IPSObjectType::otMedia:
      return u"media";
    case api::IPSObjectType::otLink:
      return u"link";
  }
  return u"unknown";
}

json::JsonValue ObjectJson(const api::IPSObject& record) {
  json::JsonValue object = json::JsonValue::MakeObject();
  object.PutInt(u"id", record.ID());
  object.Put(u"name", JsonText(record.Name()));
  object.Put(u"type", Word(ObjectTypeWord(record.ObjectType())));
  object.PutInt(u"objectType", static_cast<int>(record.ObjectType()));
  object.PutInt(u"position", record.Position());
  object.Put(u"hasChildren", json::JsonValue::MakeBoolean(record.HasChildren()));
  return object;
}

void PutVariableJson(json::JsonValue& object, const json::JsonValue& reply) {
  const json::JsonValue type = reply.Get(u"VariableType");
  object.Put(u"variableType", WordOrNumber(type ? type.AsInteger() : 0,
                                           {u"boolean", u"integer", u"float", u"string"}));
  const json::JsonValue value = reply.Get(u"VariableValue");
  // The text as the records read it (api::IPSVariable::ValueBuffer).
  PutValue(object, value, value ? text::Utf8Repair(value.AsString()) : std::u16string());
  object.Put(u"changed", JsonTime(reply.Get(u"VariableChanged")));
  object.Put(u"updated", JsonTime(reply.Get(u"VariableUpdated")));
}

void PutScriptJson(json::JsonValue& object, const json::JsonValue& reply) {
  const json::JsonValue file = reply.Get(u"ScriptFile");
  object.Put(u"file", JsonText(file ? text::Utf8Repair(file.AsString()) : std::u16string()));
  object.Put(u"executed", JsonTime(reply.Get(u"ScriptExecuted")));
  const json::JsonValue broken = reply.Get(u"ScriptIsBroken");
  object.Put(u"broken", json::JsonValue::MakeBoolean(broken && broken.AsBoolean()));
}

void PutInstanceJson(json::JsonValue& object, const api::IPSInstance& instance,
                     const api::IPSObject& record) {
  object.Put(u"module", JsonText(instance.ModulName()));
  object.Put(u"moduleType",
             WordOrNumber(static_cast<int>(instance.ModuleType()),
                          {u"core", u"io", u"splitter", u"device", u"configurator"}));
  object.Put(u"summary", JsonText(record.Summary()));
}

}  // namespace velmar::shell
