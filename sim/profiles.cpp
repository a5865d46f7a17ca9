#include "sim/profiles.h"

#include "sim/tree_reader.h"

namespace velmar::sim {

Profiles::Profiles() {
  using T = VariableType;
  const Profile builtIn[] = {
      {"~Temperature", T::Float, "Temperature", "", " °C", -40, 60, 0.5, 1},
      {"~Temperature.Room", T::Float, "Temperature", "", " °C", 5, 30, 0.5, 1},
      {"~Humidity.F", T::Float, "Drops", "", " %", 0, 100, 1, 1},
      {"~Intensity.100", T::Integer, "Intensity", "", " %", 0, 100, 1, 0},
      {"~Watt.3680", T::Float, "Electricity", "", " W", 0, 3680, 1, 1},
      {"~Electricity", T::Float, "Electricity", "", " kWh", 0, 0, 0, 2},
      {"~WindSpeed.kmh", T::Float, "WindSpeed", "", " km/h", 0, 200, 1, 1},
      {"~Rainfall", T::Float, "Rainfall", "", " mm", 0, 0, 0, 1},
      {"~Switch", T::Boolean, "Power", "", "", 0, 1, 0, 0},
      {"~Window", T::Boolean, "Window", "", "", 0, 1, 0, 0},
      {"~Window.HM", T::Boolean, "Window", "", "", 0, 1, 0, 0},
      {"~Alert", T::Boolean, "Warning", "", "", 0, 1, 0, 0},
      {"~TextBox", T::String, "Notepad", "", "", 0, 0, 0, 0},
      {"~UnixTimestamp", T::Integer, "Clock", "", "", 0, 0, 0, 0},
      {"~UnixTimestampTime", T::Integer, "Clock", "", "", 0, 0, 0, 0},
      {"~ShutterMoveStop", T::Integer, "Shutter", "", "", 0, 4, 0, 0},
  };
  for (const Profile& profile : builtIn) add(profile);
}

void Profiles::add(Profile profile) {
  std::string name = profile.name;
  profiles_.insert_or_assign(std::move(name), std::move(profile));
}

const Profile* Profiles::find(const std::string& name) const {
  auto it = profiles_.find(name);
  return it == profiles_.end() ? nullptr : &it->second;
}

Json Profiles::record(const Profile& p) {
  Json r;
  r["ProfileName"] = p.name;
  r["ProfileType"] = static_cast<int>(p.type);
  r["Icon"] = p.icon;
  r["Prefix"] = p.prefix;
  r["Suffix"] = p.suffix;
  r["MinValue"] = p.minValue;
  r["MaxValue"] = p.maxValue;
  r["StepSize"] = p.stepSize;
  r["Digits"] = p.digits;
  r["IsReadOnly"] = p.name.rfind('~', 0) == 0;
  r["Associations"] = Json::array();
  return r;
}

void ReadProfiles(const Json& source, Profiles& profiles) {
  if (!source.is_array()) fail("profiles", "expected an array of profiles");
  std::size_t index = 0;
  for (const Json& entry : source) {
    Reader r("profile #" + std::to_string(index++), entry);
    Profile p;
    r.text("name", p.name);
    if (p.name.empty()) fail(r.where(), "\"name\" is required");
    std::string type = "float";
    r.text("type", type);
    static const char* const types[] = {"boolean", "integer", "float", "string"};
    bool known = false;
    for (int i = 0; i < 4; ++i) {
      if (type == types[i]) p.type = static_cast<VariableType>(i), known = true;
    }
    if (!known) fail(r.where(), "\"type\" must be one of boolean, integer, float, string");
    r.text("icon", p.icon);
    r.text("prefix", p.prefix);
    r.text("suffix", p.suffix);
    r.number("min", p.minValue);
    r.number("max", p.maxValue);
    r.number("step", p.stepSize);
    r.integer("digits", p.digits);
    r.finish();
    profiles.add(std::move(p));
  }
}

}  // namespace velmar::sim
