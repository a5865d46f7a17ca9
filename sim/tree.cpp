#include "sim/tree.h"

#include <algorithm>
#include <stdexcept>

#include "sim/archive_file.h"
#include "sim/profiles.h"
#include "sim/tree_reader.h"

namespace velmar::sim {
namespace {

ObjectType parseObjectType(const std::string& where, const Json& value) {
  static const char* const names[] = {"category", "instance", "variable", "script",
                                      "event",    "media",    "link"};
  if (value.is_string()) {
    for (int i = 0; i < 7; ++i)
      if (value.get<std::string>() == names[i]) return static_cast<ObjectType>(i);
  }
  fail(where, "\"type\" must be one of category, instance, variable, script, event, media, link");
}

VariableType parseVariableType(const std::string& where, const Json& value) {
  static const char* const names[] = {"boolean", "integer", "float", "string"};
  if (value.is_string()) {
    for (int i = 0; i < 4; ++i)
      if (value.get<std::string>() == names[i]) return static_cast<VariableType>(i);
  }
  fail(where, "variable \"type\" must be one of boolean, integer, float, string");
}

void readVariable(Reader& in, const Json& source, Object& object, int64_t now) {
  Reader r(in.where() + " variable", source);
  VariableData data;
  const Json* type = r.take("type");
  if (!type) fail(r.where(), "\"type\" is required");
  data.type = parseVariableType(r.where(), *type);
  r.text("profile", data.profile);
  r.text("customProfile", data.customProfile);
  r.integer("action", data.action);
  r.integer("customAction", data.customAction);
  r.flag("locked", data.locked);
  r.time("changed", data.changed, now);
  r.time("updated", data.updated, now);
  static const Json defaults[] = {false, 0, 0.0, ""};
  data.value = defaults[static_cast<int>(data.type)];
  const Json* value = r.take("value");
  if (value) {
    if (!valueMatches(data.type, *value)) fail(r.where(), "\"value\" does not match its type");
    data.value = *value;
    if (data.type == VariableType::Float) data.value = value->get<double>();
  }
  if (const Json* archive = r.take("archive")) {
    data.archive = ReadArchive(in.where(), *archive, data.type, now);
    ArchiveLog& log = *data.archive;
    // The value the file gives is the one the variable holds at the start, the last of its
    // history; without one it holds the value logged last.
    if (value && (log.empty() || log.newestTime() <= now)) log.log(now, data.value);
    if (!log.empty()) {
      data.value = log.newestValue();
      data.changed = log.newestTime();
      data.updated = std::max(data.updated, data.changed);
    }
  }
  r.finish();
  object.variable = std::move(data);
}

void readInstance(Reader& in, const Json& source, Object& object, int64_t now) {
  Reader r(in.where() + " instance", source);
  InstanceData data;
  r.integer("status", data.status);
  r.integer("connectionID", data.connectionID);
  r.time("changed", data.changed, now);
  r.flag("supportsSearching", data.supportsSearching);
  r.flag("isSearching", data.isSearching);
  r.text("moduleID", data.moduleID);
  r.text("moduleName", data.moduleName);
  r.integer("moduleType", data.moduleType);
  r.finish();
  object.instance = std::move(data);
}

void readScript(Reader& in, const Json& source, Object& object, int64_t now) {
  Reader r(in.where() + " script", source);
  ScriptData data;
  data.file = std::to_string(object.id) + ".ips.php";
  r.integer("type", data.type);
  r.text("file", data.file);
  r.time("executed", data.executed, now);
  r.flag("broken", data.broken);
  r.flag("failsToStart", data.failsToStart);
  r.text("output", data.output);
  r.finish();
  object.script = std::move(data);
}

Object readObject(const Json& source, std::size_t index, int64_t now) {
  Reader r("object #" + std::to_string(index), source);
  Object object;
  const Json* id = r.take("id");
  if (!id || !id->is_number_integer()) fail(r.where(), "\"id\" is required and must be an integer");
  object.id = id->get<int>();
  Reader in("object " + std::to_string(object.id), source);
  in.take("id");
  object.name = "Unnamed Object (ID: " + std::to_string(object.id) + ")";
  const Json* type = in.take("type");
  object.type = type ? parseObjectType(in.where(), *type) : ObjectType::Category;
  in.integer("parent", object.parent);
  in.text("name", object.name);
  in.text("ident", object.ident);
  in.text("info", object.info);
  in.text("icon", object.icon);
  in.text("summary", object.summary);
  in.integer("position", object.position);
  in.flag("readOnly", object.readOnly);
  in.flag("hidden", object.hidden);
  in.flag("disabled", object.disabled);
  in.flag("locked", object.locked);

  const Json* variable = in.take("variable");
  const Json* instance = in.take("instance");
  const Json* script = in.take("script");
  const Json* link = in.take("link");
  const Json empty = Json::object();
  auto detail = [&](const Json* part, ObjectType owner, const char* key) -> const Json* {
    if (part && object.type != owner)
      fail(in.where(), std::string("\"") + key + "\" belongs to " + key + " objects only");
    return object.type == owner ? (part ? part : &empty) : nullptr;
  };
  if (const Json* v = detail(variable, ObjectType::Variable, "variable")) {
    if (!variable) fail(in.where(), "a variable needs \"variable\": {\"type\": ...}");
    readVariable(in, *v, object, now);
  }
  if (const Json* v = detail(instance, ObjectType::Instance, "instance"))
    readInstance(in, *v, object, now);
  if (const Json* v = detail(script, ObjectType::Script, "script")) readScript(in, *v, object, now);
  if (const Json* v = detail(link, ObjectType::Link, "link")) {
    Reader lr(in.where() + " link", *v);
    const Json* target = lr.take("target");
    if (!target || !target->is_number_integer())
      fail(lr.where(), "\"target\" is required and must be an integer");
    object.linkTarget = target->get<int>();
    lr.finish();
  }
  in.finish();
  return object;
}

}  // namespace

bool isInt32(const Json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>() <= INT32_MAX;
  return value.is_number_integer() && value.get<int64_t>() >= INT32_MIN &&
         value.get<int64_t>() <= INT32_MAX;
}

bool valueMatches(VariableType type, const Json& value) {
  switch (type) {
    case VariableType::Boolean:
      return value.is_boolean();
    case VariableType::Integer:
      return isInt32(value);
    case VariableType::Float:
      return value.is_number();
    case VariableType::String:
      return value.is_string();
  }
  return false;
}

ObjectTree ObjectTree::fromJson(const std::string& text, int64_t now) {
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error& e) {
    throw std::runtime_error(std::string("tree: not valid JSON: ") + e.what());
  }
  if (!document.is_object() || !document.contains("objects") || !document["objects"].is_array())
    throw std::runtime_error("tree: expected an object with an \"objects\" array");
  for (const auto& item : document.items())
    if (item.key() != "objects" && item.key() != "profiles")
      fail("top level", "unknown key \"" + item.key() + "\"");

  ObjectTree tree;
  tree.profiles_ = std::make_shared<Profiles>();
  if (document.contains("profiles")) ReadProfiles(document["profiles"], *tree.profiles_);
  Object root;
  root.name = "IP-Symcon";
  tree.objects_.emplace(0, root);
  tree.ids_.push_back(0);
  std::size_t index = 0;
  for (const Json& source : document["objects"]) {
    Object object = readObject(source, index++, now);
    if (object.id == 0) {
      // The root may be listed to give it other properties; it stays a category under itself.
      if (object.type != ObjectType::Category || object.parent != 0)
        fail("object 0", "the root must be a category with parent 0");
      tree.objects_[0] = std::move(object);
      continue;
    }
    if (object.id < 10000 || object.id > 59999)
      fail("object " + std::to_string(object.id), "IDs run from 10000 to 59999");
    const int id = object.id;
    if (!tree.objects_.emplace(id, std::move(object)).second)
      fail("object " + std::to_string(id), "duplicate ID");
    tree.ids_.push_back(id);
  }
  for (int id : tree.ids_) {
    if (id == 0) continue;
    const Object& object = tree.objects_.at(id);
    Object* parent = tree.find(object.parent);
    if (!parent)
      fail("object " + std::to_string(id),
           "parent " + std::to_string(object.parent) + " does not exist");
    parent->children.push_back(id);
    if (object.type == ObjectType::Link && !tree.find(object.linkTarget))
      fail("object " + std::to_string(id),
           "link target " + std::to_string(object.linkTarget) + " does not exist");
  }
  // Every object must reach the root; a parent cycle would make the tree endless for a client.
  for (int id : tree.ids_) {
    int at = id;
    for (std::size_t steps = 0; at != 0; ++steps) {
      if (steps > tree.ids_.size()) fail("object " + std::to_string(id), "parent cycle");
      at = tree.objects_.at(at).parent;
    }
  }
  return tree;
}

const Object* ObjectTree::find(int id) const {
  auto it = objects_.find(id);
  return it == objects_.end() ? nullptr : &it->second;
}

Object* ObjectTree::find(int id) {
  auto it = objects_.find(id);
  return it == objects_.end() ? nullptr : &it->second;
}

Json ObjectTree::objectRecord(const Object& o) const {
  Json r;
  r["ParentID"] = o.parent;
  r["ObjectID"] = o.id;
  r["ObjectType"] = static_cast<int>(o.type);
  r["ObjectIdent"] = o.ident;
  r["ObjectName"] = o.name;
  r["ObjectInfo"] = o.info;
  r["ObjectIcon"] = o.icon;
  r["ObjectSummary"] = o.summary;
  r["ObjectPosition"] = o.position;
  r["ObjectIsReadOnly"] = o.readOnly;
  r["ObjectIsHidden"] = o.hidden;
  r["ObjectIsDisabled"] = o.disabled;
  r["ObjectIsLocked"] = o.locked;
  r["HasChildren"] = !o.children.empty();
  r["ChildrenIDs"] = o.children;
  return r;
}

Json ObjectTree::variableRecord(const Object& o) {
  const VariableData& v = *o.variable;
  Json r;
  r["VariableID"] = o.id;
  r["VariableType"] = static_cast<int>(v.type);
  r["VariableProfile"] = v.profile;
  r["VariableCustomProfile"] = v.customProfile;
  r["VariableAction"] = v.action;
  r["VariableCustomAction"] = v.customAction;
  r["VariableIsLocked"] = v.locked;
  r["VariableChanged"] = v.changed;
  r["VariableUpdated"] = v.updated;
  r["VariableValue"] = v.value;
  return r;
}

Json ObjectTree::instanceRecord(const Object& o) {
  const InstanceData& i = *o.instance;
  Json r;
  r["InstanceID"] = o.id;
  r["InstanceStatus"] = i.status;
  r["ConnectionID"] = i.connectionID;
  r["InstanceChanged"] = i.changed;
  r["InstanceSupportsSearching"] = i.supportsSearching;
  r["InstanceIsSearching"] = i.isSearching;
  Json module;
  module["ModuleID"] = i.moduleID;
  module["ModuleName"] = i.moduleName;
  module["ModuleType"] = i.moduleType;
  r["ModuleInfo"] = std::move(module);
  return r;
}

Json ObjectTree::scriptRecord(const Object& o) {
  const ScriptData& s = *o.script;
  Json r;
  r["ScriptID"] = o.id;
  r["ScriptType"] = s.type;
  r["ScriptFile"] = s.file;
  r["ScriptExecuted"] = s.executed;
  r["ScriptIsBroken"] = s.broken;
  return r;
}

Json ObjectTree::linkRecord(const Object& o) {
  Json r;
  r["LinkID"] = o.id;
  r["TargetID"] = o.linkTarget;
  return r;
}

}  // namespace velmar::sim
