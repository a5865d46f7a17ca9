#include "shell/watch_view.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

#include "api/ips_objects.h"
#include "platform/clock.h"
#include "platform/regional.h"
#include "shell/json_output.h"
#include "shell/object_json.h"
#include "text/arguments.h"
#include "text/console_layout.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {

namespace {

constexpr std::int64_t kStringType = 3;
constexpr std::size_t kMaxColumn = 30;
// Rows assumed for a terminal that has not told its height.
constexpr std::int32_t kDefaultRows = 24;
const std::u16string kHighlight = u"\x1b[7m";
const std::u16string kReset = u"\x1b[0m";

// The time of a change in the regional format, as show writes dates; "-" for never.
std::u16string ChangeTime(std::int64_t unixSeconds) {
  if (unixSeconds == 0) return u"-";
  return text::Utf8ToUtf16(platform::FormatDateTime(api::UnixToLocalDateTime(unixSeconds)));
}

// `text` filled with blanks to `width`, or cut to it with "…" as its last character.
std::u16string Column(std::u16string text, std::size_t width) {
  if (text.size() > width) {
    text.resize(width > 0 ? width - 1 : 0);
    text += u'\u2026';
  }
  text.resize(width, u' ');
  return text;
}

std::u16string PadLeft(std::u16string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), u' ');
  return text;
}

class TableView final : public WatchView {
 public:
  TableView(telnet::Session& session, double intervalSeconds)
      : session_(session), every_(u"Every " + IntervalText(intervalSeconds)) {}

  void Start(const std::vector<Watched>& watched) override { Draw(watched, true); }

  void Round(const std::vector<Watched>& watched, const std::vector<std::size_t>&,
             double roundMilliseconds) override {
    lastRound_ = roundMilliseconds;
    failure_.clear();
    Draw(watched, true);
  }

  void Failed(const std::u16string& message) override {
    // The values of the last round stay on the screen.
    failure_ = text::Inert(message);
    Write(rows_, StatusLine(hidden_));
  }

  void End(const std::vector<Watched>& watched) override { Draw(watched, false); }

 private:
  // The table's lines for the window's size; with `live` the highlights and a status line.
  void Draw(const std::vector<Watched>& watched, bool live) {
    const std::int32_t rows = session_.ConsoleRows() > 0 ? session_.ConsoleRows() : kDefaultRows;
    // The header and the status line take two rows.
    const std::size_t fit = static_cast<std::size_t>(std::max(rows - 2, 1));
    const std::size_t shown = std::min(watched.size(), fit);
    std::size_t nameWidth = 4;
    std::size_t valueWidth = 5;
    for (std::size_t i = 0; i < shown; ++i) {
      nameWidth = std::max(nameWidth, std::min(watched[i].name.size(), kMaxColumn));
      valueWidth = std::max(valueWidth, std::min(watched[i].shown.size(), kMaxColumn));
    }
    rows_ = {u"   ID  " + Column(u"Name", nameWidth) + u"  " + Column(u"Value", valueWidth) +
             u"  Changed"};
    for (std::size_t i = 0; i < shown; ++i) {
      const Watched& w = watched[i];
      const bool highlight = live && w.highlighted;
      std::u16string value = Column(w.shown, valueWidth);
      if (highlight) value = kHighlight + value + kReset;
      rows_.push_back(PadLeft(text::IntToStr(w.id), 5) + u"  " +
                      Column(text::Inert(w.name), nameWidth) + u"  " + value + u"  " +
                      ChangeTime(w.changed));
    }
    hidden_ = watched.size() - shown;
    if (live) {
      Write(rows_, StatusLine(hidden_));
    } else {
      Write(rows_, std::nullopt);
    }
  }

  std::u16string StatusLine(std::size_t hidden) const {
    std::u16string status = every_;
    if (!failure_.empty()) {
      status += u". The server failed: " + failure_ + u" (trying again).";
    } else if (lastRound_ >= 0) {
      status += u", last round " + RoundText(lastRound_) + u".";
    } else {
      status += u".";
    }
    if (hidden > 0)
      status += u" " + text::IntToStr(static_cast<std::int64_t>(hidden)) + u" more below.";
    return status + u" Ctrl+C ends.";
  }

  // Goes back to the first line drawn and writes `lines` over what was there, each cut to the
  // width so that none wraps, then the status line (the cursor stays at its end) or, when
  // there is none, leaves the cursor below the table. What was below is erased.
  void Write(const std::vector<std::u16string>& lines,
             const std::optional<std::u16string>& status) {
    const std::int32_t width = std::max(session_.ConsoleChars() - 1, 1);
    // From the line's start even the first time: a client's own echo of the command line may
    // have left the cursor elsewhere.
    std::u16string out = u"\r";
    if (drawn_ > 1) out += u"\x1b[" + text::IntToStr(drawn_ - 1) + u"A";
    auto put = [&](const std::u16string& line, bool last) {
      out += u"\x1b[2K" + text::LimitChars(line, width);
      if (line.find(u'\x1b') != std::u16string::npos) out += kReset;
      if (!last) out += u"\r\n";
    };
    for (const std::u16string& line : lines) put(line, false);
    if (status) put(*status, true);
    out += u"\x1b[J";
    drawn_ = status ? static_cast<std::int64_t>(lines.size()) + 1 : 0;
    session_.Write(out);
  }

  telnet::Session& session_;
  const std::u16string every_;
  std::vector<std::u16string> rows_;  // the header and the variables' rows last drawn
  std::size_t hidden_ = 0;            // variables the window had no room for
  std::u16string failure_;
  double lastRound_ = -1;
  std::int64_t drawn_ = 0;  // lines on the screen that the next drawing goes back over
};

class LineView final : public WatchView {
 public:
  explicit LineView(telnet::Session& session) : session_(session) {}

  void Start(const std::vector<Watched>& watched) override {
    for (const Watched& w : watched) session_.WriteLn(Head(w) + w.shown);
  }

  void Round(const std::vector<Watched>& watched, const std::vector<std::size_t>& changes,
             double) override {
    for (const std::size_t i : changes) {
      const Watched& w = watched[i];
      session_.WriteLn(Head(w) + w.previousShown + u" -> " + w.shown);
    }
  }

  void Failed(const std::u16string& message) override {
    session_.client().WriteErrorLn(text::Inert(message));
  }

  void End(const std::vector<Watched>&) override {}

 private:
  static std::u16string Head(const Watched& w) {
    return ChangeTime(w.changed) + u"  " + text::IntToStr(w.id) + u"  " + text::Inert(w.name) +
           u"  ";
  }

  telnet::Session& session_;
};

class JsonView final : public WatchView {
 public:
  explicit JsonView(telnet::Session& session) : session_(session) {}

  void Start(const std::vector<Watched>& watched) override {
    for (const Watched& w : watched) WriteJson(session_, Event(u"value", w));
  }

  void Round(const std::vector<Watched>& watched, const std::vector<std::size_t>& changes,
             double) override {
    for (const std::size_t i : changes) {
      const Watched& w = watched[i];
      json::JsonValue event = Event(u"change", w);
      const json::JsonValue previous = w.previousReply.Get(u"VariableValue");
      event.Put(u"previous", ServerValue(previous));
      event.Put(u"previousText",
                JsonText(previous ? text::Utf8Repair(previous.AsString()) : std::u16string()));
      WriteJson(session_, event);
    }
  }

  void Failed(const std::u16string& message) override {
    json::JsonValue event = json::JsonValue::MakeObject();
    event.PutString(u"event", u"error");
    event.Put(u"message", JsonText(message));
    event.Put(u"time", JsonTime(platform::UnixMillisecondsNow() / 1000));
    WriteJson(session_, event);
  }

  void End(const std::vector<Watched>&) override {}

 private:
  static json::JsonValue Event(std::u16string_view kind, const Watched& w) {
    json::JsonValue event = json::JsonValue::MakeObject();
    event.PutString(u"event", std::u16string(kind));
    event.PutInt(u"id", w.id);
    event.Put(u"name", JsonText(w.name));
    PutVariableJson(event, w.reply);
    return event;
  }

  telnet::Session& session_;
};

}  // namespace

bool TakeRecord(Watched& watched, json::JsonValue reply) {
  const json::JsonValue value = reply.Get(u"VariableValue");
  const json::JsonValue type = reply.Get(u"VariableType");
  const json::JsonValue changed = reply.Get(u"VariableChanged");
  std::u16string shown = value ? text::Inert(text::Utf8Repair(value.AsString())) : std::u16string();
  if (type && type.AsInteger() == kStringType) shown = u"\"" + shown + u"\"";
  std::u16string key = value ? value.AsJson() : std::u16string();

  const bool first = !watched.reply;
  const bool change = !first && key != watched.key;
  if (change) {
    watched.previousReply = std::move(watched.reply);
    watched.previousShown = std::move(watched.shown);
  }
  watched.highlighted = change;
  watched.reply = std::move(reply);
  watched.shown = std::move(shown);
  watched.key = std::move(key);
  watched.changed = changed ? changed.AsInteger() : 0;
  return change;
}

namespace {

// `value` with `decimals` digits after the regional separator, trailing zeros (and a separator
// left alone) dropped when `trim`.
std::u16string DecimalText(double value, int decimals, bool trim) {
  // to_chars writes a point whatever locale the process has.
  char digits[48];
  const auto end =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals).ptr;
  std::string text(digits, end);
  if (trim) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  const auto point = text.find('.');
  if (point != std::string::npos)
    text.replace(point, 1, platform::CurrentRegionalSettings().decimalSeparator);
  return text::Utf8ToUtf16(text);
}

}  // namespace

std::u16string IntervalText(double seconds) {
  return DecimalText(seconds, 3, true) + u" s";
}

std::u16string RoundText(double milliseconds) {
  return DecimalText(milliseconds, 1, false) + u" ms";
}

std::unique_ptr<WatchView> MakeTableView(telnet::Session& session, double intervalSeconds) {
  return std::make_unique<TableView>(session, intervalSeconds);
}

std::unique_ptr<WatchView> MakeLineView(telnet::Session& session) {
  return std::make_unique<LineView>(session);
}

std::unique_ptr<WatchView> MakeJsonView(telnet::Session& session) {
  return std::make_unique<JsonView>(session);
}

}  // namespace velmar::shell
