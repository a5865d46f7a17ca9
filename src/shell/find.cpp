#include "shell/find.h"

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "platform/clock.h"
#include "platform/regional.h"
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

std::u16string FindProgressLine(std::int32_t id, std::u16string_view name,
                                std::int32_t consoleChars) {
  std::u16string objectID = text::IntToStr(id);
  if (objectID.size() < 5) objectID.append(5 - objectID.size(), u' ');
  std::u16string body = objectID + u"\t" + std::u16string(name);
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
  const std::uint32_t time = platform::GetTickCount();
  const std::u16string pattern = text::GetObjectFromCommandline(command);
  if (text::Trim(pattern).empty()) {
    session.Write(u"Search pattern not specified.\r\n");
    return;
  }
  const FindOptions options = ParseOptions(TextAfterArgument(command));

  const api::IPSList objectlist = api::MakeList(api::IPS_GetObjectList());
  session.Write(u"\r\n");

  std::int64_t n = 0;
  std::size_t searched = 0;
  for (const std::uint16_t id : objectlist) {
    // The name reads as in the records, whether the server sends raw UTF-8 or escapes.
    const std::u16string objectName = api::IPS_GetNameUnicode(id);
    std::u16string output = FindProgressLine(id, text::Inert(objectName), session.ConsoleChars());
    if (NameMatches(objectName, pattern, options)) {
      ++n;
      output += u"\r\n";
    }
    session.Write(output);
    ++searched;
    session.delay(kPauseMilliseconds);
    if (session.Interrupted()) break;
  }

  const std::u16string separator =
      text::Utf8ToUtf16(platform::CurrentRegionalSettings().decimalSeparator);
  const std::int32_t width = session.ConsoleChars();
  std::u16string output =
      u"\b\b\r" + std::u16string(width > 0 ? width : 0, u' ') + u"\r\n" +
      text::IntToStr(static_cast<std::int64_t>(searched)) + u" objects searched in " +
      FormatSeconds(platform::GetTickCount() - time, separator) + u" seconds.\r\n";
  if (n == 0) {
    output = u"\b\b" + output + u"Nothing found on pattern \"" + pattern + u"\"\r\n";
  } else {
    output += text::IntToStr(n) + u" objects matched pattern \"" + pattern + u"\"\r\n";
  }
  session.Write(output);
}

}  // namespace velmar::shell
