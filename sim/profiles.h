// Variable profiles of the simulated server: how a value is shown (prefix, suffix, digits).
// The system profiles of the demo home are built in; a tree file may add its own.
#pragma once

#include <map>
#include <string>

#include "sim/tree.h"

namespace velmar::sim {

struct Profile {
  std::string name;
  VariableType type = VariableType::Float;
  std::string icon, prefix, suffix;
  double minValue = 0, maxValue = 0, stepSize = 0;
  int digits = 0;
};

class Profiles {
 public:
  Profiles();  // the built-in system profiles ("~Temperature", "~Switch", ...)

  // Adds or replaces a profile.
  void add(Profile profile);
  const Profile* find(const std::string& name) const;

  // The record IPS_GetVariableProfile sends.
  static Json record(const Profile& profile);

 private:
  std::map<std::string, Profile> profiles_;
};

// Reads the "profiles" list of a tree file into `profiles`.
void ReadProfiles(const Json& source, Profiles& profiles);

}  // namespace velmar::sim
