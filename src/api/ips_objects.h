#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/json_rpc.h"

// Typed snapshots of the records that the server returns. Each constructor takes the JSON
// value of the record, copies the members it knows and keeps no reference to it. A member
// that is missing leaves its field at the start value (empty text, 0, false, date-time 0,
// empty list). Text fields are UTF-16, repaired from the UTF-8 bytes the server sent.
namespace velmar::api {

// Enumerations are held in 8 bits; a number outside the named members is kept as it is.
enum class IPSObjectType : std::uint8_t {
  otCategory,
  otInstance,
  otVariable,
  otScript,
  otEvent,
  otMedia,
  otLink
};

enum class IPSVariableType : std::uint8_t { vtBoolean, vtInteger, vtFloat, vtString };

enum class IPSModuleType : std::uint8_t { mtCore, mtIO, mtSplitter, mtDevice, mtConfigurator };

// Object IDs, each cut to its low 16 bits.
using IPSList = std::vector<std::uint16_t>;

// Local date-time as days since 1899-12-30 00:00.
using DateTime = double;

// The JSON array of IDs (its text form, taken apart at the commas) as an IPSList. Fails with
// velmar::Error when an element is not a 32-bit integer.
IPSList MakeList(const JsonRef& value);

// The host's current offset from UTC in days, UTC minus local time.
double TimeZoneBias();

// Unix seconds as local date-time, shifted by the offset that was in force at that moment
// (daylight-saving time included).
DateTime UnixToLocalDateTime(std::int64_t seconds);

class IPSObject {
 public:
  explicit IPSObject(const JsonRef& obj);

  const std::u16string& Info() const { return info_; }
  const std::u16string& Icon() const { return icon_; }
  const IPSList& Children() const { return children_; }
  bool IsReadOnly() const { return isReadOnly_; }
  bool IsLocked() const { return isLocked_; }
  std::int32_t ID() const { return id_; }
  std::int32_t Parent() const { return parent_; }
  const std::u16string& Ident() const { return ident_; }
  std::int32_t Position() const { return position_; }
  bool HasChildren() const { return hasChildren_; }
  bool IsDisabled() const { return isDisabled_; }
  bool IsHidden() const { return isHidden_; }
  IPSObjectType ObjectType() const { return objectType_; }
  const std::u16string& Name() const { return name_; }
  const std::u16string& Summary() const { return summary_; }

 private:
  std::u16string info_;
  std::u16string icon_;
  IPSList children_;
  bool isReadOnly_ = false;
  bool isLocked_ = false;
  std::int32_t id_ = 0;
  std::int32_t parent_ = 0;
  std::u16string ident_;
  std::int32_t position_ = 0;
  bool hasChildren_ = false;
  bool isDisabled_ = false;
  bool isHidden_ = false;
  IPSObjectType objectType_ = IPSObjectType::otCategory;
  std::u16string name_;
  std::u16string summary_;
};

// Built from IPS_GetVariable's record; its name and parent come from a second request,
// IPS_GetObject, on the calling thread (which therefore needs its API client).
class IPSVariable {
 public:
  explicit IPSVariable(const JsonRef& obj);

  std::int32_t ID() const { return id_; }
  const std::u16string& Name() const { return name_; }
  IPSVariableType VariableType() const { return variableType_; }
  std::int32_t Parent() const { return parent_; }
  DateTime Changed() const { return changed_; }
  DateTime Updated() const { return updated_; }
  // The value as text whatever its type: true/false, decimal digits, the JSON number text,
  // or the string itself.
  const std::u16string& ValueBuffer() const { return valueBuffer_; }

 private:
  std::int32_t id_ = 0;
  std::u16string name_;
  IPSVariableType variableType_ = IPSVariableType::vtBoolean;
  std::int32_t parent_ = 0;
  DateTime changed_ = 0;
  DateTime updated_ = 0;
  std::u16string valueBuffer_;
};

class IPSInstance {
 public:
  explicit IPSInstance(const JsonRef& obj);

  std::int32_t Status() const { return status_; }
  bool IsSearching() const { return isSearching_; }
  std::int32_t ID() const { return id_; }
  const std::u16string& ModuleID() const { return moduleID_; }
  IPSModuleType ModuleType() const { return moduleType_; }
  const std::u16string& ModulName() const { return moduleName_; }
  // The server's number itself, not converted to a date.
  std::int32_t Changed() const { return changed_; }
  std::int32_t ConnectionID() const { return connectionID_; }
  bool SupportSearching() const { return supportSearching_; }

 private:
  std::int32_t status_ = 0;
  bool isSearching_ = false;
  std::int32_t id_ = 0;
  std::u16string moduleID_;
  IPSModuleType moduleType_ = IPSModuleType::mtCore;
  std::u16string moduleName_;
  std::int32_t changed_ = 0;
  std::int32_t connectionID_ = 0;
  bool supportSearching_ = false;
};

class IPSScript {
 public:
  explicit IPSScript(const JsonRef& obj);

  std::int32_t ScriptType() const { return scriptType_; }
  const std::u16string& ScriptFile() const { return scriptFile_; }
  DateTime Executed() const { return executed_; }
  bool IsBroken() const { return isBroken_; }
  std::int32_t ID() const { return id_; }

 private:
  std::int32_t scriptType_ = 0;
  std::u16string scriptFile_;
  DateTime executed_ = 0;
  bool isBroken_ = false;
  std::int32_t id_ = 0;
};

class IPSLink {
 public:
  explicit IPSLink(const JsonRef& obj);

  std::int32_t ID() const { return id_; }
  std::int32_t Target() const { return target_; }

 private:
  std::int32_t id_ = 0;
  std::int32_t target_ = 0;
};

}  // namespace velmar::api
