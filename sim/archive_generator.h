// Generated histories for logged variables of the simulated server: a value for every moment,
// computed from the moment and a seed alone, so that the same tree gives the same history on
// every start and the live values continue it (docs/tree-format.md, "archive").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/tree.h"

namespace velmar::sim {

struct GeneratorSpec {
  enum class Kind {
    Curve,    // mean + daily and yearly waves + noise (temperatures)
    Counter,  // a meter reading that grows by `perDay` a day, faster at midday
    Switch,   // false, with `perDay` short periods of true a day (a window contact)
    Text,     // one of `texts`, changing every `interval` seconds
  };
  Kind kind = Kind::Curve;
  std::uint64_t seed = 1;
  int days = 400;          // how far back the history reaches
  int64_t interval = 900;  // seconds between samples of the history
  double mean = 0, daily = 0, yearly = 0, noise = 0;
  int digits = 1;     // decimals of Curve and Counter values
  double perDay = 1;  // Counter: growth a day; Switch: true periods a day
  int minutes = 30;   // Switch: the longest true period
  std::vector<std::string> texts;
};

// The generated value at `t` as a JSON value of the variable's type.
Json GeneratedValue(const GeneratorSpec& spec, VariableType type, int64_t t);

// The moments of the history from `from` to `to` at which the value may change, in order:
// the sample times for curves, counters and texts, the starts and ends of true periods for
// switches.
std::vector<int64_t> GeneratedChangeTimes(const GeneratorSpec& spec, int64_t from, int64_t to);

}  // namespace velmar::sim
