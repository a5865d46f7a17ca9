// The Archive Control of the simulated server: the values it logged for one variable, and the
// two ways a client reads them, raw records and aggregated periods, as the real server answers
// AC_GetLoggedValues and AC_GetAggregatedValues (newest first, at most 10,000 records).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/archive_generator.h"
#include "sim/tree.h"

namespace velmar::sim {

// The module ID of the Archive Control; IPS_GetInstanceListByModuleID finds its instances.
inline constexpr const char* kArchiveModuleID = "{43192F0B-135B-4CE7-A0A7-1475603F3060}";

// The most records one call returns, whatever limit the client asks for.
inline constexpr std::size_t kArchiveRecordLimit = 10000;

enum class Aggregation { Standard = 0, Counter = 1 };

// The aggregation levels of AC_GetAggregatedValues.
enum class AggregationLevel {
  Hour = 0,
  Day = 1,
  Week = 2,  // Monday 00:00 to Sunday 23:59:59
  Month = 3,
  Year = 4,
  FiveMinutes = 5,
  Minute = 6,
};

// The start of the period of `level` that holds `t`, and the start of the period after the one
// that starts at `start`. Days, weeks, months and years follow the local time of the process.
int64_t PeriodStart(AggregationLevel level, int64_t t);
int64_t PeriodEnd(AggregationLevel level, int64_t start);

class ArchiveLog {
 public:
  ArchiveLog(VariableType type, Aggregation aggregation);

  VariableType type() const { return type_; }
  Aggregation aggregation() const { return aggregation_; }

  // The generator behind the log, if any: its values continue while the server runs.
  const std::optional<GeneratorSpec>& generator() const { return generator_; }
  void setGenerator(GeneratorSpec spec) { generator_ = std::move(spec); }

  // Logs `value` (of the variable's type) as set at `time`, which must not lie before the
  // newest record. Only a change is logged: the value that holds already is not logged again.
  // Returns whether a record was added.
  bool log(int64_t time, const Json& value);
  // The server stopped logging at `time`: the value that held ends there, and a gap follows
  // until the next record.
  void pause(int64_t time);

  void reserve(std::size_t records) { records_.reserve(records); }
  bool empty() const { return records_.empty(); }
  std::size_t size() const { return records_.size(); }
  // The newest record's value and time; only for a log that is not empty.
  Json newestValue() const;
  int64_t newestTime() const { return records_.back().time; }

  // AC_GetLoggedValues: the records set between `start` and `end` (inclusive; end 0 = now),
  // newest first, at most `limit` (0 or more than kArchiveRecordLimit: kArchiveRecordLimit).
  Json loggedValues(int64_t start, int64_t end, std::size_t limit, int64_t now) const;

  // AC_GetAggregatedValues: the periods of `level` that start between `start` and `end` and in
  // which a value held, newest first, with the same limit. Throws std::runtime_error for a
  // string variable, which has no aggregated values.
  Json aggregatedValues(AggregationLevel level, int64_t start, int64_t end, std::size_t limit,
                        int64_t now) const;

 private:
  static constexpr int64_t kHolding = std::numeric_limits<int64_t>::max();

  struct Record {
    int64_t time;
    int64_t end;   // when the value stopped holding: the next record, a pause, or kHolding
    double value;  // a number; false/true as 0/1; for strings the index into texts_
  };

  double encode(const Json& value);
  Json decode(double value) const;
  Json periodRecord(int64_t start, int64_t end, int64_t now) const;
  Json standardPeriod(int64_t start, int64_t end, int64_t now) const;
  Json counterPeriod(int64_t start, int64_t end, int64_t now) const;

  VariableType type_;
  Aggregation aggregation_;
  std::optional<GeneratorSpec> generator_;
  std::vector<Record> records_;  // oldest first
  std::vector<std::string> texts_;
  std::unordered_map<std::string, std::size_t> textIndex_;
};

}  // namespace velmar::sim
