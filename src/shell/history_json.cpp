#include "shell/history_json.h"

#include "shell/history_views.h"
#include "shell/json_output.h"

namespace velmar::shell {
namespace {

using json::JsonValue;

JsonValue TypeName(std::int32_t type) {
  static const char16_t* const names[] = {u"boolean", u"integer", u"float", u"string"};
  if (type >= 0 && type < 4) return JsonText(names[type]);
  return JsonValue::MakeInt(type);
}

JsonValue Number(const std::optional<double>& value) {
  return value ? JsonValue::MakeDouble(*value) : JsonValue::MakeNull();
}

JsonValue Record(const HistoryTarget& target, const LoggedValue& record) {
  JsonValue object = JsonValue::MakeObject();
  object.Put(u"time", JsonTime(record.time));
  object.PutInt(u"duration", record.duration);
  PutValue(object, record.value, target.ValueText(record.value));
  return object;
}

JsonValue Period(const AggregatedValue& period) {
  JsonValue object = JsonValue::MakeObject();
  object.Put(u"time", JsonTime(period.time));
  object.PutInt(u"duration", period.duration);
  object.Put(u"avg", JsonValue::MakeDouble(period.avg));
  object.Put(u"min", JsonValue::MakeDouble(period.min));
  object.Put(u"minTime", JsonTime(period.minTime));
  object.Put(u"max", JsonValue::MakeDouble(period.max));
  object.Put(u"maxTime", JsonTime(period.maxTime));
  return object;
}

JsonValue Summary(const HistoryTarget& target, const HistorySummary& summary) {
  JsonValue object = JsonValue::MakeObject();
  object.Put(u"min", Number(summary.min));
  object.Put(u"minTime", summary.min ? JsonTime(summary.minTime) : JsonValue::MakeNull());
  object.Put(u"max", Number(summary.max));
  object.Put(u"maxTime", summary.max ? JsonTime(summary.maxTime) : JsonValue::MakeNull());
  object.Put(u"mean", Number(summary.mean));
  object.Put(u"total", Number(summary.total));
  object.Put(u"onShare", Number(summary.onShare));
  object.PutInt(u"changes", static_cast<std::int64_t>(summary.changes));
  object.Put(u"last", ServerValue(target.value));
  object.Put(u"lastText", JsonText(target.CurrentText()));
  return object;
}

}  // namespace

json::JsonValue HistoryDocument(const HistoryTarget& target, HistoryView view, HistoryRange range,
                                const HistoryData& data, std::int64_t now) {
  JsonValue document = JsonValue::MakeObject();
  document.PutInt(u"id", target.id);
  document.Put(u"name", JsonText(target.name));
  document.Put(u"type", TypeName(target.type));
  document.Put(u"profile", JsonText(target.profile));
  document.Put(u"prefix", JsonText(target.format.prefix));
  document.Put(u"suffix", JsonText(target.format.suffix));
  document.Put(u"aggregation", JsonText(target.counter ? u"counter" : u"standard"));
  document.Put(u"from", JsonTime(range.from));
  document.Put(u"to", JsonTime(range.to));
  document.Put(u"source", JsonText(SourceName(view, data.level)));
  document.Put(u"complete", JsonValue::MakeBoolean(data.end == PagingEnd::Complete));

  JsonValue values = JsonValue::MakeArray();
  for (auto it = data.logged.rbegin(); it != data.logged.rend(); ++it)
    values.AsArray()->Add(Record(target, *it));
  document.Put(u"values", values);
  document.Put(u"before", data.before ? Record(target, *data.before) : JsonValue::MakeNull());
  JsonValue periods = JsonValue::MakeArray();
  for (auto it = data.periods.rbegin(); it != data.periods.rend(); ++it)
    periods.AsArray()->Add(Period(*it));
  document.Put(u"periods", periods);
  document.Put(u"summary", Summary(target, SummaryOf(view, data, range, now)));
  return document;
}

}  // namespace velmar::shell
