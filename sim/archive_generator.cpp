#include "sim/archive_generator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmar::sim {
namespace {

constexpr int64_t kDay = 86400;
// Counter readings count from 2020-01-01 00:00 UTC.
constexpr int64_t kCounterOrigin = 1577836800;
// True periods of a switch start between 06:00 and 22:00 (UTC).
constexpr int64_t kSwitchDayStart = 6 * 3600;
constexpr int64_t kSwitchDayWindow = 16 * 3600;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// splitmix64: a well-mixed 64-bit number for each input.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::uint64_t Hash(std::uint64_t seed, int64_t a, int64_t b = 0) {
  return Mix(Mix(Mix(seed) ^ static_cast<std::uint64_t>(a)) ^ static_cast<std::uint64_t>(b));
}

// A number in [0, 1) for the inputs.
double Uniform(std::uint64_t seed, int64_t a, int64_t b = 0) {
  return static_cast<double>(Hash(seed, a, b) >> 11) * 0x1.0p-53;
}

double Round(double value, int digits) {
  static const double scales[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  const double scale = scales[std::clamp(digits, 0, 6)];
  return std::round(value * scale) / scale;
}

struct Period {
  int64_t start, end;
};

// The true periods of a switch on day `day` (days since 1970-01-01 UTC).
std::vector<Period> SwitchPeriods(const GeneratorSpec& spec, int64_t day) {
  const double whole = std::floor(spec.perDay);
  const int count =
      static_cast<int>(whole) + (Uniform(spec.seed, day, -1) < spec.perDay - whole ? 1 : 0);
  const int64_t longest = static_cast<int64_t>(spec.minutes) * 60;
  std::vector<Period> periods;
  for (int i = 0; i < count; ++i) {
    const int64_t start = day * kDay + kSwitchDayStart +
                          static_cast<int64_t>(Uniform(spec.seed, day, 2 * i) * kSwitchDayWindow);
    const int64_t length = 60 + static_cast<int64_t>(Uniform(spec.seed, day, 2 * i + 1) *
                                                     static_cast<double>(longest - 59));
    periods.push_back({start, start + length});
  }
  return periods;
}

// Noise in [-1, 1] that wanders smoothly from one sample of the history to the next, with a
// little flicker on top, as a sensor's readings do between its reports.
double Noise(const GeneratorSpec& spec, int64_t t) {
  const int64_t k = FloorDiv(t, spec.interval);
  const double f = static_cast<double>(t - k * spec.interval) / static_cast<double>(spec.interval);
  const double wander = (1 - f) * Uniform(spec.seed, k, 1) + f * Uniform(spec.seed, k + 1, 1);
  return 0.8 * (2 * wander - 1) + 0.2 * (2 * Uniform(spec.seed, t, 2) - 1);
}

double CurveValue(const GeneratorSpec& spec, int64_t t) {
  constexpr double kTwoPi = 2 * std::numbers::pi;
  const double hour = static_cast<double>(t - FloorDiv(t, kDay) * kDay) / 3600.0;
  const double dayOfYear = std::fmod(static_cast<double>(t) / kDay, 365.2425);
  // Warmest at 15:00 UTC and around the 20th of July.
  return spec.mean + spec.daily * std::sin(kTwoPi * (hour - 9) / 24) +
         spec.yearly * std::sin(kTwoPi * (dayOfYear - 110) / 365.2425) +
         spec.noise * Noise(spec, t);
}

double CounterValue(const GeneratorSpec& spec, int64_t t) {
  // Four fifths of the use follow 1 - cos over the day (nothing at midnight, most at noon
  // UTC), one fifth 1 + cos over the week: days use from 0.8 to 1.2 times `perDay`. Both
  // rates are never negative, so the reading never falls.
  constexpr double kTwoPi = 2 * std::numbers::pi;
  const double d = static_cast<double>(t - kCounterOrigin) / kDay;
  const double daily = d - std::sin(kTwoPi * d) / kTwoPi;
  const double weekly = d + 7 * std::sin(kTwoPi * d / 7) / kTwoPi;
  return spec.perDay * (0.8 * daily + 0.2 * weekly);
}

Json Number(double value, int digits, VariableType type) {
  if (type == VariableType::Integer) return static_cast<int64_t>(std::llround(value));
  return Round(value, digits);
}

}  // namespace

Json GeneratedValue(const GeneratorSpec& spec, VariableType type, int64_t t) {
  switch (spec.kind) {
    case GeneratorSpec::Kind::Curve:
      return Number(CurveValue(spec, t), spec.digits, type);
    case GeneratorSpec::Kind::Counter:
      return Number(CounterValue(spec, t), spec.digits, type);
    case GeneratorSpec::Kind::Switch:
      for (const Period& p : SwitchPeriods(spec, FloorDiv(t, kDay)))
        if (p.start <= t && t < p.end) return true;
      return false;
    case GeneratorSpec::Kind::Text:
      return spec.texts[Hash(spec.seed, FloorDiv(t, spec.interval)) % spec.texts.size()];
  }
  return nullptr;
}

std::vector<int64_t> GeneratedChangeTimes(const GeneratorSpec& spec, int64_t from, int64_t to) {
  std::vector<int64_t> times;
  if (spec.kind == GeneratorSpec::Kind::Switch) {
    for (int64_t day = FloorDiv(from, kDay); day <= FloorDiv(to, kDay); ++day) {
      for (const Period& p : SwitchPeriods(spec, day)) {
        for (int64_t t : {p.start, p.end})
          if (from <= t && t <= to) times.push_back(t);
      }
    }
    std::sort(times.begin(), times.end());
    return times;
  }
  for (int64_t t = FloorDiv(from + spec.interval - 1, spec.interval) * spec.interval; t <= to;
       t += spec.interval)
    times.push_back(t);
  return times;
}

}  // namespace velmar::sim
