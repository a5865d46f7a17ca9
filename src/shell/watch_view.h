// What watch shows: the state of each watched variable, and the three ways of showing it (a
// table redrawn in place on a terminal, plain lines, JSON Lines).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json/value.h"
#include "telnet/session.h"

namespace velmar::shell {

// One watched variable as the last round found it.
struct Watched {
  std::int32_t id = 0;
  std::u16string name;            // as the server has it (made inert where it is shown)
  json::JsonValue reply;          // IPS_GetVariable's record
  std::u16string shown;           // the value as ls shows it (inert, strings in quotes)
  std::u16string key;             // the value's JSON text: a different key is a change
  std::int64_t changed = 0;       // VariableChanged, Unix seconds
  json::JsonValue previousReply;  // the record before the last change
  std::u16string previousShown;
  bool highlighted = false;  // changed in the last round
};

// Takes a round's record (a JSON object) of one variable into `watched`; true when its value
// changed (the first record is no change).
bool TakeRecord(Watched& watched, json::JsonValue reply);

// How often watch polls, as the status line says it ("1 s", "0.5 s"; the regional decimal
// separator).
std::u16string IntervalText(double seconds);
// How long a round took, as the status line says it ("12.3 ms", one decimal).
std::u16string RoundText(double milliseconds);

class WatchView {
 public:
  virtual ~WatchView() = default;
  // The first round's values.
  virtual void Start(const std::vector<Watched>& watched) = 0;
  // A later round: `changes` indexes the variables whose value changed, in listing order;
  // `roundMilliseconds` is how long its requests took.
  virtual void Round(const std::vector<Watched>& watched, const std::vector<std::size_t>& changes,
                     double roundMilliseconds) = 0;
  // A round failed with `message`; called once for each run of failures.
  virtual void Failed(const std::u16string& message) = 0;
  // Watching ends; the next output is the shell's.
  virtual void End(const std::vector<Watched>& watched) = 0;
};

// On a terminal: a table of ID, name, value and time of the last change, redrawn in place
// each round with cursor movement (no clearing that scrolls), at most as many lines as the
// window has rows, a changed value highlighted for one round, and a status line.
std::unique_ptr<WatchView> MakeTableView(telnet::Session& session, double intervalSeconds);
// Elsewhere: "TIME  ID  NAME  VALUE" per variable, then "TIME  ID  NAME  OLD -> NEW" per change,
// the time of the change in the regional format; a failure's message on the error output.
std::unique_ptr<WatchView> MakeLineView(telnet::Session& session);
// -json: one object per line (docs/json-output.md).
std::unique_ptr<WatchView> MakeJsonView(telnet::Session& session);

}  // namespace velmar::shell
