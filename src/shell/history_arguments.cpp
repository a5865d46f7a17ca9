#include "shell/history_arguments.h"

#include <vector>

#include "platform/clock.h"
#include "platform/date_input.h"
#include "shell/object_argument.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kYear = 365 * kDay;
constexpr std::int64_t kLongestSpan = 100 * kYear;

std::u16string Lower(std::u16string_view word) {
  std::u16string lower(word);
  for (auto& c : lower)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return lower;
}

// "24h", "7d", "2w", "1y" in seconds; no value for anything else, -1 when longer than allowed.
std::optional<std::int64_t> ReadSpan(std::u16string_view word) {
  if (word.size() < 2 || word.size() > 7 || word[0] < u'1' || word[0] > u'9') return std::nullopt;
  std::int64_t count = 0;
  for (const char16_t c : word.substr(0, word.size() - 1)) {
    if (c < u'0' || c > u'9') return std::nullopt;
    count = count * 10 + (c - u'0');
  }
  std::int64_t unit = 0;
  switch (word.back()) {
    case u'h':
    case u'H':
      unit = kHour;
      break;
    case u'd':
    case u'D':
      unit = kDay;
      break;
    case u'w':
    case u'W':
      unit = 7 * kDay;
      break;
    case u'y':
    case u'Y':
      unit = kYear;
      break;
    default:
      return std::nullopt;
  }
  return count * unit > kLongestSpan ? -1 : count * unit;
}

bool IsTimeOfDay(std::u16string_view word) {
  const std::size_t colon = word.find(u':');
  if (colon == 0 || colon == std::u16string_view::npos || colon > 2) return false;
  for (const char16_t c : word)
    if ((c < u'0' || c > u'9') && c != u':') return false;
  return true;
}

std::u16string DateHint(const platform::RegionalSettings& settings) {
  constexpr double kChristmasEve = 46380.75;  // 2026-12-24 18:00 as a date-time
  const std::string date =
      platform::FormatDateTimeWith(kChristmasEve, settings.shortDateFormat, settings);
  const std::string dateTime =
      platform::FormatDateTimeWith(kChristmasEve, settings.shortDateFormat + " %H:%M", settings);
  return u" Dates look like " + text::Utf8ToUtf16(date) + u", \"" + text::Utf8ToUtf16(dateTime) +
         u"\" or 2026-12-24T18:00.";
}

// Reads the date after -from or -to at `words[i]`, with a time of day in the next word;
// moves `i` past what it read.
std::variant<std::int64_t, std::u16string> ReadDate(const std::vector<std::u16string>& words,
                                                    std::size_t& i,
                                                    const platform::RegionalSettings& settings) {
  const std::u16string& option = words[i];
  if (++i >= words.size()) return option + u" needs a date." + DateHint(settings);
  std::u16string typed = words[i];
  if (i + 1 < words.size() && IsTimeOfDay(words[i + 1])) typed += u" " + words[++i];
  if (auto t = platform::ParseUserDateTime(text::Utf16ToUtf8(typed), settings)) return *t;
  return u"Not a date: " + typed + u"." + DateHint(settings);
}

std::u16string DateText(std::int64_t t, const platform::RegionalSettings& settings) {
  return text::Utf8ToUtf16(
      platform::FormatDateTime(platform::UnixMillisecondsToLocalDateTime(t * 1000), settings));
}

}  // namespace

ParsedHistoryArguments ParseHistoryArguments(std::u16string_view commandline,
                                             const platform::RegionalSettings& settings) {
  HistoryArguments arguments;
  arguments.object = text::GetObjectFromCommandline(commandline);
  if (text::Trim(arguments.object).empty())
    return u"Variable not specified. " + std::u16string(kHistoryUsage);
  std::vector<std::u16string> words;
  for (auto& word : text::explode(TextAfterArgument(commandline), u' ', true, true))
    if (!word.empty()) words.push_back(std::move(word));

  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::u16string option = Lower(words[i]);
    if (option == u"-list") {
      arguments.list = true;
    } else if (option == u"-from" || option == u"-to") {
      auto date = ReadDate(words, i, settings);
      if (auto* message = std::get_if<std::u16string>(&date)) return *message;
      (option == u"-from" ? arguments.from : arguments.to) = std::get<std::int64_t>(date);
    } else if (auto span = ReadSpan(words[i])) {
      if (*span < 0) return u"Span too long: " + words[i] + u" (at most 100y).";
      if (arguments.span) return u"More than one span: " + words[i] + u". Give one.";
      arguments.span = *span;
    } else {
      return u"Unknown argument: " + words[i] + u". " + std::u16string(kHistoryUsage);
    }
  }
  if (arguments.span && arguments.from && arguments.to)
    return u"A span with both -from and -to: give the one or the other.";
  return arguments;
}

std::variant<HistoryRange, std::u16string> ResolveHistoryRange(
    const HistoryArguments& arguments, std::int64_t now,
    const platform::RegionalSettings& settings) {
  const std::int64_t span = arguments.span.value_or(kDefaultHistorySpan);
  HistoryRange range{now - span, now};
  if (arguments.from && arguments.to) {
    range = {*arguments.from, *arguments.to};
  } else if (arguments.from) {
    range = {*arguments.from, arguments.span ? *arguments.from + span : now};
  } else if (arguments.to) {
    range = {*arguments.to - span, *arguments.to};
  }
  if (range.from >= range.to)
    return u"The start (" + DateText(range.from, settings) + u") must lie before the end (" +
           DateText(range.to, settings) + u").";
  return range;
}

}  // namespace velmar::shell
