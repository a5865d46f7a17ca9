#include "sim/archive_file.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace velmar::sim {
namespace {

// A generated history holds at most this many samples, so that a tree cannot ask for more
// memory than a test machine has.
constexpr int64_t kMostSamples = 2000000;

struct Interval {
  int64_t from, to;
};

struct Entry {
  int64_t time;
  Json value;
};

int64_t Relative(int64_t t, int64_t now) {
  return t < 0 ? t + now : t;
}

GeneratorSpec::Kind ReadKind(const std::string& where, const Json* kind, VariableType type) {
  static const std::pair<const char*, GeneratorSpec::Kind> kinds[] = {
      {"curve", GeneratorSpec::Kind::Curve},
      {"counter", GeneratorSpec::Kind::Counter},
      {"switch", GeneratorSpec::Kind::Switch},
      {"text", GeneratorSpec::Kind::Text}};
  for (const auto& [name, value] : kinds) {
    if (!kind || !kind->is_string() || kind->get<std::string>() != name) continue;
    const bool numeric = type == VariableType::Integer || type == VariableType::Float;
    const bool fits = value == GeneratorSpec::Kind::Switch ? type == VariableType::Boolean
                      : value == GeneratorSpec::Kind::Text ? type == VariableType::String
                                                           : numeric;
    if (!fits) fail(where, std::string("a \"") + name + "\" generator does not fit this variable");
    return value;
  }
  fail(where, "\"kind\" is required: curve, counter, switch or text");
}

GeneratorSpec ReadGenerator(const std::string& where, const Json& source, VariableType type) {
  Reader r(where + " generator", source);
  GeneratorSpec spec;
  spec.kind = ReadKind(r.where(), r.take("kind"), type);
  r.integer("seed", spec.seed);
  r.integer("days", spec.days);
  r.integer("interval", spec.interval);
  r.number("mean", spec.mean);
  r.number("daily", spec.daily);
  r.number("yearly", spec.yearly);
  r.number("noise", spec.noise);
  r.integer("digits", spec.digits);
  r.number("perDay", spec.perDay);
  r.integer("minutes", spec.minutes);
  if (const Json* texts = r.take("texts")) {
    if (!texts->is_array()) fail(r.where(), "\"texts\" must be an array of strings");
    for (const Json& text : *texts) {
      if (!text.is_string()) fail(r.where(), "\"texts\" must be an array of strings");
      spec.texts.push_back(text.get<std::string>());
    }
  }
  r.finish();
  if (spec.days < 1 || spec.days > 3650) fail(r.where(), "\"days\" must lie from 1 to 3650");
  if (spec.interval < 1) fail(r.where(), "\"interval\" must be at least 1 second");
  if (spec.kind != GeneratorSpec::Kind::Switch &&
      int64_t{spec.days} * 86400 / spec.interval > kMostSamples)
    fail(r.where(), "more than 2000000 samples: raise \"interval\" or lower \"days\"");
  if (spec.digits < 0 || spec.digits > 6) fail(r.where(), "\"digits\" must lie from 0 to 6");
  if (spec.minutes < 1 || spec.minutes > 120) fail(r.where(), "\"minutes\" must lie from 1 to 120");
  if (spec.perDay < 0 || spec.perDay > 1e9) fail(r.where(), "\"perDay\" must not be negative");
  if (spec.kind == GeneratorSpec::Kind::Switch && spec.perDay > 100)
    fail(r.where(), "a switch turns on at most 100 times a day");
  if (spec.kind == GeneratorSpec::Kind::Text && spec.texts.empty())
    fail(r.where(), "a \"text\" generator needs \"texts\"");
  return spec;
}

std::vector<Entry> ReadHistory(const std::string& where, const Json& source, VariableType type,
                               int64_t now) {
  const std::string message = "\"history\" must be an array of [time, value] pairs";
  if (!source.is_array()) fail(where, message);
  std::vector<Entry> entries;
  for (const Json& pair : source) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer()) fail(where, message);
    if (!valueMatches(type, pair[1])) fail(where, "a \"history\" value does not match its type");
    Json value = type == VariableType::Float ? Json(pair[1].get<double>()) : pair[1];
    entries.push_back({Relative(pair[0].get<int64_t>(), now), std::move(value)});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.time < b.time; });
  return entries;
}

std::vector<Interval> ReadGaps(const std::string& where, const Json& source, int64_t now) {
  const std::string message = "\"gaps\" must be an array of [from, to] pairs";
  if (!source.is_array()) fail(where, message);
  std::vector<Interval> gaps;
  for (const Json& pair : source) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() ||
        !pair[1].is_number_integer())
      fail(where, message);
    const Interval gap{Relative(pair[0].get<int64_t>(), now),
                       Relative(pair[1].get<int64_t>(), now)};
    if (gap.from >= gap.to || gap.to > now)
      fail(where, "a gap must end after it starts, and before the server starts");
    gaps.push_back(gap);
  }
  std::sort(gaps.begin(), gaps.end(),
            [](const Interval& a, const Interval& b) { return a.from < b.from; });
  return gaps;
}

// Logs the entries in order; an entry inside a gap is not logged, and the value that held
// when a gap began ends there.
void Fill(ArchiveLog& log, const std::vector<Entry>& entries, const std::vector<Interval>& gaps) {
  std::size_t g = 0;
  for (const Entry& entry : entries) {
    for (; g < gaps.size() && gaps[g].to <= entry.time; ++g) log.pause(gaps[g].from);
    if (g < gaps.size() && gaps[g].from <= entry.time) {
      log.pause(gaps[g].from);
      continue;
    }
    log.log(entry.time, entry.value);
  }
  for (; g < gaps.size(); ++g) log.pause(gaps[g].from);
}

}  // namespace

std::shared_ptr<ArchiveLog> ReadArchive(const std::string& where, const Json& source,
                                        VariableType type, int64_t now) {
  Reader r(where + " archive", source);
  Aggregation aggregation = Aggregation::Standard;
  std::string aggregationName = "standard";
  r.text("aggregation", aggregationName);
  if (aggregationName == "counter") {
    if (type != VariableType::Integer && type != VariableType::Float)
      fail(r.where(), "only integer and float variables can be counters");
    aggregation = Aggregation::Counter;
  } else if (aggregationName != "standard") {
    fail(r.where(), "\"aggregation\" must be standard or counter");
  }
  const Json* history = r.take("history");
  const Json* generator = r.take("generator");
  const Json* gaps = r.take("gaps");
  r.finish();
  if (history && generator) fail(r.where(), "give \"history\" or \"generator\", not both");

  auto log = std::make_shared<ArchiveLog>(type, aggregation);
  std::vector<Entry> entries;
  if (history) entries = ReadHistory(r.where(), *history, type, now);
  if (generator) {
    GeneratorSpec spec = ReadGenerator(r.where(), *generator, type);
    const std::vector<int64_t> times =
        GeneratedChangeTimes(spec, now - int64_t{spec.days} * 86400, now);
    entries.reserve(times.size());
    for (int64_t t : times) entries.push_back({t, GeneratedValue(spec, type, t)});
    log->setGenerator(std::move(spec));
  }
  log->reserve(entries.size());
  Fill(*log, entries, gaps ? ReadGaps(r.where(), *gaps, now) : std::vector<Interval>{});
  return log;
}

}  // namespace velmar::sim
