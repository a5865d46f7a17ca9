#include "sim/api.h"

#include <ctime>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace velmar::sim {
namespace {

// A failure inside a method; becomes an error reply with the server's code for it.
struct MethodError : std::runtime_error {
  int code;
  MethodError(int c, const std::string& message) : std::runtime_error(message), code(c) {}
};

[[noreturn]] void raise(const std::string& message) {
  throw MethodError(kErrorInternal, message);
}

int64_t now() {
  return static_cast<int64_t>(std::time(nullptr));
}

const char* kindName(ObjectType type) {
  switch (type) {
    case ObjectType::Category:
      return "Category";
    case ObjectType::Instance:
      return "Instance";
    case ObjectType::Variable:
      return "Variable";
    case ObjectType::Script:
      return "Script";
    case ObjectType::Event:
      return "Event";
    case ObjectType::Media:
      return "Media";
    case ObjectType::Link:
      return "Link";
  }
  return "Object";
}

// The positional parameters of one call, checked for count and JSON type.
class Params {
 public:
  Params(const std::string& method, const Json& params, std::size_t count,
         std::vector<const char*> names)
      : params_(params), names_(std::move(names)) {
    if (params_.size() != count)
      raise(method + " expects " + std::to_string(count) + " parameter" + (count == 1 ? "" : "s") +
            ", got " + std::to_string(params_.size()));
  }
  int id(std::size_t i) const {
    const Json& v = params_[i];
    if (!isInt32(v)) mismatch(i);
    return v.get<int>();
  }
  std::string text(std::size_t i) const {
    if (!params_[i].is_string()) mismatch(i);
    return params_[i].get<std::string>();
  }
  const Json& raw(std::size_t i) const { return params_[i]; }
  [[noreturn]] void mismatch(std::size_t i) const {
    raise(std::string("Parameter type of ") + names_[i] + " does not match");
  }

 private:
  const Json& params_;
  std::vector<const char*> names_;
};

}  // namespace

Json errorReply(int code, const std::string& message, const Json& id) {
  Json reply;
  reply["jsonrpc"] = "2.0";
  Json error;
  error["code"] = code;
  error["message"] = message;
  reply["error"] = std::move(error);
  reply["id"] = id;
  return reply;
}

Api::Api(ObjectTree tree, std::string kernelVersion, int64_t kernelStart)
    : tree_(std::move(tree)), kernelVersion_(std::move(kernelVersion)), kernelStart_(kernelStart) {}

Json Api::call(const Json& request) {
  const Json id = request.is_object() && request.contains("id") ? request["id"] : Json(nullptr);
  if (!request.is_object() || !request.contains("method") || !request["method"].is_string())
    return errorReply(kErrorInvalidRequest, "Invalid Request", id);
  Json params = Json::array();
  if (request.contains("params")) {
    params = request["params"];
    if (!params.is_array()) return errorReply(kErrorInternal, "Parameters must be an array", id);
  }
  try {
    Json reply;
    reply["jsonrpc"] = "2.0";
    reply["result"] = dispatch(request["method"].get<std::string>(), params);
    reply["id"] = id;
    return reply;
  } catch (const MethodError& e) {
    return errorReply(e.code, e.what(), id);
  } catch (const std::exception& e) {
    return errorReply(kErrorInternal, e.what(), id);
  }
}

// The methods of the server: one handler per method name, built from a few families
// (existence checks, lookups by name, records, value setters, single-object queries). A friend
// of Api, so that handlers reach its tree, lock and kernel answers.
struct ApiMethods {
  using Handler = std::function<Json(Api&, const std::string&, const Json&)>;
  using Table = std::unordered_map<std::string, Handler>;

  static const Table& table();

 private:
  static const Object& object(const Api& api, int id) {
    const Object* o = api.tree_.find(id);
    if (!o) raise("Object #" + std::to_string(id) + " does not exist");
    return *o;
  }

  static const Object& typed(const Api& api, int id, ObjectType type) {
    const Object* o = api.tree_.find(id);
    if (!o || o->type != type)
      raise(std::string(kindName(type)) + " #" + std::to_string(id) + " does not exist");
    return *o;
  }

  static ScriptData& script(Api& api, int id) {
    return *const_cast<Object&>(typed(api, id, ObjectType::Script)).script;
  }

  // IPS_*Exists: whether the ID names an object (of the type).
  static Handler exists(std::optional<ObjectType> type) {
    return [type](Api& api, const std::string& m, const Json& p) -> Json {
      Params in(m, p, 1, {"ID"});
      std::shared_lock lock(api.mutex_);
      const Object* o = api.tree_.find(in.id(0));
      return o && (!type || o->type == *type);
    };
  }

  // IPS_Get*IDByName: the first child of the parent with that name (and type).
  static Handler byName(std::optional<ObjectType> type) {
    return [type](Api& api, const std::string& m, const Json& p) -> Json {
      Params in(m, p, 2, {"Name", "ParentID"});
      const std::string name = in.text(0);
      const int parentID = in.id(1);
      if (name.empty()) raise("Name cannot be empty");
      std::shared_lock lock(api.mutex_);
      const Object* parent = api.tree_.find(parentID);
      if (!parent) raise("Object #" + std::to_string(parentID) + " does not exist");
      for (int child : parent->children) {
        const Object& o = *api.tree_.find(child);
        if (o.name == name && (!type || o.type == *type)) return child;
      }
      raise(std::string(type ? kindName(*type) : "Object") + " with name " + name +
            " could not be found");
    };
  }

  // IPS_GetVariable, IPS_GetInstance, ...: the type's record of an object of that type.
  static Handler record(ObjectType type, Json (*build)(const Object&)) {
    return [type, build](Api& api, const std::string& m, const Json& p) -> Json {
      Params in(m, p, 1, {"ID"});
      std::shared_lock lock(api.mutex_);
      return build(typed(api, in.id(0), type));
    };
  }

  // IPS_GetObject, IPS_GetName, ...: something about any one object.
  static Handler objectQuery(Json (*query)(const ObjectTree&, const Object&)) {
    return [query](Api& api, const std::string& m, const Json& p) -> Json {
      Params in(m, p, 1, {"ID"});
      std::shared_lock lock(api.mutex_);
      return query(api.tree_, object(api, in.id(0)));
    };
  }

  // SetValue*: stores a value of the variable's own type; the change time moves only when
  // the value changes.
  static Handler setValue(VariableType type) {
    return [type](Api& api, const std::string& m, const Json& p) -> Json {
      Params in(m, p, 2, {"VariableID", "Value"});
      const int id = in.id(0);
      std::unique_lock lock(api.mutex_);
      Object* o = api.tree_.find(id);
      if (!o || o->type != ObjectType::Variable)
        raise("Variable #" + std::to_string(id) + " does not exist");
      VariableData& v = *o->variable;
      if (v.type != type || !valueMatches(type, in.raw(1))) in.mismatch(1);
      Json value = in.raw(1);
      if (type == VariableType::Float) value = value.get<double>();
      const int64_t t = now();
      v.updated = t;
      if (value != v.value) {
        v.changed = t;
        v.value = std::move(value);
      }
      return true;
    };
  }

  // IPS_RunScript (true, or false when the script fails to start) and IPS_RunScriptWait (its
  // output, or "" when it fails to start).
  static Handler runScript(bool wait) {
    return [wait](Api& api, const std::string& m, const Json& p) -> Json {
      Params in(m, p, 1, {"ScriptID"});
      std::unique_lock lock(api.mutex_);
      ScriptData& s = script(api, in.id(0));
      if (s.failsToStart) return wait ? Json("") : Json(false);
      s.executed = now();
      return wait ? Json(s.output) : Json(true);
    };
  }

  static Json getValue(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 1, {"VariableID"});
    std::shared_lock lock(api.mutex_);
    return typed(api, in.id(0), ObjectType::Variable).variable->value;
  }

  static Json objectList(Api& api, const std::string& m, const Json& p) {
    Params(m, p, 0, {});
    std::shared_lock lock(api.mutex_);
    return api.tree_.ids();
  }

  static Json kernelVersion(Api& api, const std::string& m, const Json& p) {
    Params(m, p, 0, {});
    return api.kernelVersion_;
  }

  static Json kernelStartTime(Api& api, const std::string& m, const Json& p) {
    Params(m, p, 0, {});
    return api.kernelStart_;
  }
};

const ApiMethods::Table& ApiMethods::table() {
  static const Table handlers = {
      {"IPS_ObjectExists", exists(std::nullopt)},
      {"IPS_CategoryExists", exists(ObjectType::Category)},
      {"IPS_InstanceExists", exists(ObjectType::Instance)},
      {"IPS_VariableExists", exists(ObjectType::Variable)},
      {"IPS_ScriptExists", exists(ObjectType::Script)},
      {"IPS_EventExists", exists(ObjectType::Event)},
      {"IPS_MediaExists", exists(ObjectType::Media)},
      {"IPS_LinkExists", exists(ObjectType::Link)},
      {"IPS_GetObjectIDByName", byName(std::nullopt)},
      {"IPS_GetCategoryIDByName", byName(ObjectType::Category)},
      {"IPS_GetInstanceIDByName", byName(ObjectType::Instance)},
      {"IPS_GetVariableIDByName", byName(ObjectType::Variable)},
      {"IPS_GetScriptIDByName", byName(ObjectType::Script)},
      {"IPS_GetEventIDByName", byName(ObjectType::Event)},
      {"IPS_GetMediaIDByName", byName(ObjectType::Media)},
      {"IPS_GetLinkIDByName", byName(ObjectType::Link)},
      {"IPS_GetVariable", record(ObjectType::Variable, &ObjectTree::variableRecord)},
      {"IPS_GetInstance", record(ObjectType::Instance, &ObjectTree::instanceRecord)},
      {"IPS_GetScript", record(ObjectType::Script, &ObjectTree::scriptRecord)},
      {"IPS_GetLink", record(ObjectType::Link, &ObjectTree::linkRecord)},
      {"SetValueBoolean", setValue(VariableType::Boolean)},
      {"SetValueInteger", setValue(VariableType::Integer)},
      {"SetValueFloat", setValue(VariableType::Float)},
      {"SetValueString", setValue(VariableType::String)},
      {"IPS_GetObject", objectQuery([](const ObjectTree& tree, const Object& o) -> Json {
         return tree.objectRecord(o);
       })},
      {"IPS_GetName",
       objectQuery([](const ObjectTree&, const Object& o) -> Json { return o.name; })},
      {"IPS_GetChildrenIDs",
       objectQuery([](const ObjectTree&, const Object& o) -> Json { return o.children; })},
      {"IPS_GetParent",
       objectQuery([](const ObjectTree&, const Object& o) -> Json { return o.parent; })},
      {"IPS_GetObjectList", objectList},
      {"GetValue", getValue},
      {"IPS_RunScript", runScript(false)},
      {"IPS_RunScriptWait", runScript(true)},
      {"IPS_GetKernelVersion", kernelVersion},
      {"IPS_GetKernelStartTime", kernelStartTime},
  };
  return handlers;
}

Json Api::dispatch(const std::string& method, const Json& params) {
  const auto& handlers = ApiMethods::table();
  auto it = handlers.find(method);
  if (it == handlers.end()) throw MethodError(kErrorMethodNotFound, "Method not found");
  return it->second(*this, method, params);
}

std::string Api::objectJson(int id) const {
  std::shared_lock lock(mutex_);
  const Object* o = tree_.find(id);
  if (!o) throw std::runtime_error("Object #" + std::to_string(id) + " does not exist");
  return tree_.objectRecord(*o).dump();
}

std::string Api::variableValueJson(int id) const {
  std::shared_lock lock(mutex_);
  const Object* o = tree_.find(id);
  if (!o || !o->variable)
    throw std::runtime_error("Variable #" + std::to_string(id) + " does not exist");
  return o->variable->value.dump();
}

}  // namespace velmar::sim
