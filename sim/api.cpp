#include "sim/api.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "sim/archive.h"
#include "sim/profiles.h"

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
  // Unix seconds (any 64-bit integer).
  int64_t time(std::size_t i) const {
    const Json& v = params_[i];
    if (!v.is_number_integer() || (v.is_number_unsigned() && v.get<uint64_t>() > INT64_MAX))
      mismatch(i);
    return v.get<int64_t>();
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

bool SameModuleID(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

int64_t WallClock() {
  return static_cast<int64_t>(std::time(nullptr));
}

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

Api::Api(ObjectTree tree, std::string kernelVersion, int64_t kernelStart, Clock clock)
    : tree_(std::move(tree)),
      kernelVersion_(std::move(kernelVersion)),
      kernelStart_(kernelStart),
      clock_(std::move(clock)) {}

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

namespace {

// Stores a value that a client or a device set at `t`: the update time moves on every write,
// the change time only when the value changes, and the archive logs the change.
void store(VariableData& v, Json value, int64_t t) {
  v.updated = t;
  if (value == v.value) return;
  v.changed = t;
  if (v.archive && (v.archive->empty() || v.archive->newestTime() <= t)) v.archive->log(t, value);
  v.value = std::move(value);
}

}  // namespace

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
      store(v, std::move(value), api.clock_());
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
      s.executed = api.clock_();
      return wait ? Json(s.output) : Json(true);
    };
  }

  // The archive instance named by a call's first parameter.
  static void archiveInstance(const Api& api, int id) {
    const Object* o = api.tree_.find(id);
    if (!o || o->type != ObjectType::Instance)
      raise("Instance #" + std::to_string(id) + " does not exist");
    if (!SameModuleID(o->instance->moduleID, kArchiveModuleID))
      raise("Instance #" + std::to_string(id) + " is not an Archive Control");
  }

  // The log of a variable; nullptr when it is not logged.
  static const ArchiveLog* archiveLog(const Api& api, int archiveID, int variableID) {
    archiveInstance(api, archiveID);
    return typed(api, variableID, ObjectType::Variable).variable->archive.get();
  }

  static Json instancesOfModule(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 1, {"ModuleID"});
    const std::string moduleID = in.text(0);
    std::shared_lock lock(api.mutex_);
    Json ids = Json::array();
    for (int id : api.tree_.ids()) {
      const Object& o = *api.tree_.find(id);
      if (o.instance && SameModuleID(o.instance->moduleID, moduleID)) ids.push_back(id);
    }
    return ids;
  }

  static Json loggingStatus(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 2, {"ArchiveID", "VariableID"});
    std::shared_lock lock(api.mutex_);
    return archiveLog(api, in.id(0), in.id(1)) != nullptr;
  }

  static Json aggregationType(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 2, {"ArchiveID", "VariableID"});
    std::shared_lock lock(api.mutex_);
    const ArchiveLog* log = archiveLog(api, in.id(0), in.id(1));
    return log ? static_cast<int>(log->aggregation()) : 0;
  }

  static std::size_t limit(const Params& in, std::size_t i) {
    const int64_t value = in.time(i);
    if (value < 0) raise("Limit must not be negative");
    return static_cast<std::size_t>(std::min<int64_t>(value, kArchiveRecordLimit));
  }

  static Json loggedValues(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 5, {"ArchiveID", "VariableID", "StartTime", "EndTime", "Limit"});
    const std::size_t most = limit(in, 4);
    std::shared_lock lock(api.mutex_);
    const ArchiveLog* log = archiveLog(api, in.id(0), in.id(1));
    if (!log) return Json::array();
    return log->loggedValues(in.time(2), in.time(3), most, api.clock_());
  }

  static Json aggregatedValues(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 6,
              {"ArchiveID", "VariableID", "AggregationLevel", "StartTime", "EndTime", "Limit"});
    const int level = in.id(2);
    if (level < 0 || level > 6)
      raise("Aggregation level " + std::to_string(level) + " does not exist (0 to 6)");
    const std::size_t most = limit(in, 5);
    std::shared_lock lock(api.mutex_);
    const ArchiveLog* log = archiveLog(api, in.id(0), in.id(1));
    if (!log) return Json::array();
    return log->aggregatedValues(static_cast<AggregationLevel>(level), in.time(3), in.time(4), most,
                                 api.clock_());
  }

  static Json variableProfile(Api& api, const std::string& m, const Json& p) {
    Params in(m, p, 1, {"ProfileName"});
    const std::string name = in.text(0);
    std::shared_lock lock(api.mutex_);
    const Profile* profile = api.tree_.profiles().find(name);
    if (!profile) raise("Profile " + name + " does not exist");
    return Profiles::record(*profile);
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
      {"IPS_GetInstanceListByModuleID", instancesOfModule},
      {"IPS_GetVariableProfile", variableProfile},
      {"AC_GetLoggingStatus", loggingStatus},
      {"AC_GetAggregationType", aggregationType},
      {"AC_GetLoggedValues", loggedValues},
      {"AC_GetAggregatedValues", aggregatedValues},
  };
  return handlers;
}

Json Api::dispatch(const std::string& method, const Json& params) {
  const auto& handlers = ApiMethods::table();
  auto it = handlers.find(method);
  if (it == handlers.end()) throw MethodError(kErrorMethodNotFound, "Method not found");
  return it->second(*this, method, params);
}

void Api::liveTick(int64_t now) {
  std::unique_lock lock(mutex_);
  for (int id : tree_.ids()) {
    Object& o = *tree_.find(id);
    if (!o.variable || !o.variable->archive || !o.variable->archive->generator()) continue;
    VariableData& v = *o.variable;
    store(v, GeneratedValue(*v.archive->generator(), v.type, now), now);
  }
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
