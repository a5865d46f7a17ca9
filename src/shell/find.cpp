#include "shell/find.h"

#include <vector>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "platform/clock.h"
#include "platform/regional.h"
#include "shell/json_output.h"
#include "shell/object_argument.h"
#include "text/arguments.h"
#include "text/case_fold.h"
#include "text/console_layout.h"
#include "text/encoding.h"
#include "text/inert.h"

namespace velmar::shell {
namespace {

constexpr std::int32_t kPauseMilliseconds = 50;

FindOptions ParseOptions(std::u16string_view parameter) {
  const std::u16string upper = text::UpperCase(text::Trim(parameter));
  return {upper.find(u"-I") != std::u16string::npos, upper.find(u"-W") != std::u16string::npos};
}

// One search as the commands set it up.
struct Search {
  std::u16string pattern;
  FindOptions options;
  std::uint32_t startTick = 0;
};

std::u16string SearchedText(std::size_t searched, std::uint32_t startTick) {
  const std::u16string separator =
      text::Utf8ToUtf16(platform::CurrentRegionalSettings().decimalSeparator);
  return text::IntToStr(static_cast<std::int64_t>(searched)) + u" objects searched in " +
         FormatSeconds(platform::GetTickCount() - startTick, separator) + u" seconds.";
}

std::u16string MatchedText(std::int64_t n, std::u16string_view pattern) {
  const std::u16string quoted = u"\"" + std::u16string(pattern) + u"\"";
  if (n == 0) return u"Nothing found on pattern " + quoted;
  return text::IntToStr(n) + u" objects matched pattern " + quoted;
}

// The search a person watches: a progress line per object and a pause after each, so that
// the names pass by; Ctrl+C stops it before the next object.
void SearchWatched(telnet::Session& session, const Search& search, const api::IPSList& objects) {
  session.Write(u"\r\n");
  std::int64_t n = 0;
  std::size_t searched = 0;
  for (const std::uint16_t id : objects) {
    // The name reads as in the records, whether the server sends raw UTF-8 or escapes.
    const std::u16string objectName = api::IPS_GetNameUnicode(id);
    std::u16string output = FindProgressLine(id, text::Inert(objectName), session.ConsoleChars());
    if (NameMatches(objectName, search.pattern, search.options)) {
      ++n;
      output += u"\r\n";
    }
    session.Write(output);
    ++searched;
    session.delay(kPauseMilliseconds);
    if (session.Interrupted()) break;
  }

  const std::int32_t width = session.ConsoleChars();
  std::u16string output = u"\b\b\r" + std::u16string(width > 0 ? width : 0, u' ') + u"\r\n" +
                          SearchedText(searched, search.startTick) + u"\r\n";
  if (n == 0) output = u"\b\b" + output;
  session.Write(output + MatchedText(n, search.pattern) + u"\r\n");
}

// The search for a script (one-shot command lists, -json): the names asked for together,
// without pauses; only the matches and the summary are written.
void SearchForScript(telnet::Session& session, const Search& search, const api::IPSList& objects,
                     bool json) {
  std::vector<std::u16string> names(objects.size());
  api::RunRequestsTogether(objects.size(), [&](std::size_t index) {
    names[index] = api::IPS_GetNameUnicode(objects[index]);
  });
  std::vector<std::size_t> matches;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (NameMatches(names[i], search.pattern, search.options)) matches.push_back(i);
  }
  if (!json) {
    for (const std::size_t i : matches)
      session.WriteLn(FindMatchLine(objects[i], text::Inert(names[i])));
    session.WriteLn(SearchedText(objects.size(), search.startTick));
    session.WriteLn(MatchedText(static_cast<std::int64_t>(matches.size()), search.pattern));
    return;
  }
  json::JsonValue list = json::JsonValue::MakeArray();
  for (const std::size_t i : matches) {
    json::JsonValue match = json::JsonValue::MakeObject();
    match.PutInt(u"id", objects[i]);
    match.Put(u"name", JsonText(names[i]));
    list.AsArray()->Add(match);
  }
  json::JsonValue document = json::JsonValue::MakeObject();
  document.Put(u"pattern", JsonText(search.pattern));
  document.Put(u"ignoreCase", json::JsonValue::MakeBoolean(search.options.ignoreCase));
  document.Put(u"wholeWord", json::JsonValue::MakeBoolean(search.options.wholeWord));
  document.PutInt(u"searched", static_cast<std::int64_t>(objects.size()));
  document.Put(u"seconds",
               json::JsonValue::MakeDouble((platform::GetTickCount() - search.startTick) / 1000.0));
  document.Put(u"matches", list);
  WriteJson(session, document);
}

}  // namespace

bool NameMatches(std::u16string_view name, std::u16string_view pattern, FindOptions options) {
  // Both are compared as sequences of code units in which each blank of the name, and the
  // start and end of the name, are a word boundary: a value that no code unit has, so that
  // no character of a name or a pattern can stand for one.
  constexpr char32_t kBoundary = 0x110000;
  const std::u16string foldedName = options.ignoreCase ? text::FoldCase(name) : std::u16string();
  const std::u16string foldedPattern =
      options.ignoreCase ? text::FoldCase(pattern) : std::u16string();
  if (options.ignoreCase) {
    name = foldedName;
    pattern = foldedPattern;
  }
  std::u32string form;
  form.reserve(name.size() + 2);
  form += kBoundary;
  for (const char16_t c : name) form += c == u' ' ? kBoundary : char32_t{c};
  form += kBoundary;
  std::u32string needle;
  needle.reserve(pattern.size() + 2);
  if (options.wholeWord) needle += kBoundary;
  needle.append(pattern.begin(), pattern.end());
  if (options.wholeWord) needle += kBoundary;
  return form.find(needle) != std::u32string::npos;
}

std::u16string FindMatchLine(std::int32_t id, std::u16string_view name) {
  std::u16string objectID = text::IntToStr(id);
  if (objectID.size() < 5) objectID.append(5 - objectID.size(), u' ');
  return objectID + u"\t" + std::u16string(name);
}

std::u16string FindProgressLine(std::int32_t id, std::u16string_view name,
                                std::int32_t consoleChars) {
  std::u16string body = FindMatchLine(id, name);
  const std::int64_t fill =
      static_cast<std::int64_t>(consoleChars) - static_cast<std::int64_t>(body.size()) - 2;
  if (fill > 0) body.append(static_cast<std::size_t>(fill), u' ');
  return u"\b\b\r" + body + u"\r\n";
}

std::u16string FormatSeconds(std::uint32_t milliseconds, std::u16string_view decimalSeparator) {
  const std::uint64_t tenths = (static_cast<std::uint64_t>(milliseconds) + 50) / 100;
  return text::IntToStr(static_cast<std::int64_t>(tenths / 10)) + std::u16string(decimalSeparator) +
         text::IntToStr(static_cast<std::int64_t>(tenths % 10));
}

void Find(telnet::Session& session, const std::u16string& command) {
  Search search;
  search.startTick = platform::GetTickCount();
  const JsonOption json = TakeJsonOption(command);
  search.pattern = text::GetObjectFromCommandline(json.commandline);
  if (text::Trim(search.pattern).empty()) {
    session.Fail(u"Search pattern not specified.");
    return;
  }
  search.options = ParseOptions(TextAfterArgument(json.commandline));

  const api::IPSList objects = api::MakeList(api::IPS_GetObjectList());
  if (json.requested || session.oneShot()) {
    SearchForScript(session, search, objects, json.requested);
  } else {
    SearchWatched(session, search, objects);
  }
}

}  // namespace velmar::shell
