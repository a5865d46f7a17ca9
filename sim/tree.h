// The object tree of the simulated server: every object by ID, with the records that the
// JSON-RPC methods send. Loaded from the tree file format of docs/tree-format.md.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmar::sim {

// Objects keep their members in insertion order, so records go out in the server's key order.
using Json = nlohmann::ordered_json;

enum class ObjectType { Category = 0, Instance, Variable, Script, Event, Media, Link };
enum class VariableType { Boolean = 0, Integer, Float, String };

class ArchiveLog;
class Profiles;

struct VariableData {
  VariableType type = VariableType::Boolean;
  std::string profile, customProfile;
  int action = 0, customAction = 0;
  bool locked = false;
  Json value = false;  // boolean, integer, float or string, matching `type`
  int64_t changed = 0, updated = 0;
  // The Archive Control's log of the variable; none when it is not logged.
  std::shared_ptr<ArchiveLog> archive;
};

struct InstanceData {
  int status = 102;
  int connectionID = 0;
  int64_t changed = 0;
  bool supportsSearching = false, isSearching = false;
  std::string moduleID, moduleName;
  int moduleType = 3;
};

struct ScriptData {
  int type = 0;
  std::string file;  // default "<id>.ips.php"
  int64_t executed = 0;
  bool broken = false;
  bool failsToStart = false;  // IPS_RunScript answers false
  std::string output;         // what IPS_RunScriptWait returns
};

struct Object {
  int id = 0;
  int parent = 0;
  ObjectType type = ObjectType::Category;
  std::string ident, name, info, icon, summary;
  int position = 0;
  bool readOnly = false, hidden = false, disabled = false, locked = false;
  std::vector<int> children;  // in the order they were attached
  std::optional<VariableData> variable;
  std::optional<InstanceData> instance;
  std::optional<ScriptData> script;
  int linkTarget = 0;
};

// Whether `value` is a signed 32-bit integer, the server's integer type.
bool isInt32(const Json& value);

// The value JSON types that a variable of `type` accepts (a float variable takes integers too;
// an integer variable holds signed 32-bit numbers).
bool valueMatches(VariableType type, const Json& value);

class ObjectTree {
 public:
  // Parses the tree file text. Relative time stamps (negative numbers) count back from `now`.
  // Throws std::runtime_error naming the offending object for every inconsistency.
  static ObjectTree fromJson(const std::string& text, int64_t now);

  const Object* find(int id) const;
  Object* find(int id);
  const std::vector<int>& ids() const { return ids_; }  // root first, then file order
  std::size_t size() const { return ids_.size(); }
  // The variable profiles: the built-in system profiles and those of the file.
  const Profiles& profiles() const { return *profiles_; }

  Json objectRecord(const Object& object) const;
  static Json variableRecord(const Object& object);
  static Json instanceRecord(const Object& object);
  static Json scriptRecord(const Object& object);
  static Json linkRecord(const Object& object);

 private:
  std::unordered_map<int, Object> objects_;
  std::vector<int> ids_;
  std::shared_ptr<Profiles> profiles_;
};

}  // namespace velmar::sim
