#include "shell/run_script.h"

#include <array>
#include <cstdint>
#include <optional>

#include "api/server_calls.h"
#include "shell/object_argument.h"
#include "text/arguments.h"
#include "text/encoding.h"
#include "text/html.h"
#include "text/inert.h"

namespace velmar::shell {
namespace {

std::u16string Without(std::u16string_view text, char16_t drop) {
  std::u16string result;
  result.reserve(text.size());
  for (const char16_t c : text) {
    if (c != drop) result += c;
  }
  return result;
}

// Every occurrence of `tag` (upper case) in `text`, compared ignoring the case of a to z,
// replaced by CR LF.
std::u16string ReplaceIgnoringCase(std::u16string_view text, std::u16string_view tag) {
  const std::u16string upper = text::UpperCase(text);
  std::u16string result;
  result.reserve(text.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t found = upper.find(tag, pos);
    if (found == std::u16string::npos) break;
    result.append(text.substr(pos, found - pos));
    result += u"\r\n";
    pos = found + tag.size();
  }
  result.append(text.substr(pos));
  return result;
}

}  // namespace

std::u16string BreakTagsToLineEnds(std::u16string_view output) {
  std::u16string text = Without(Without(output, u'\r'), u'\n');
  for (const std::u16string_view tag : {u"<BR>", u"<BR/>", u"<BR />"}) {
    text = ReplaceIgnoringCase(text, tag);
  }
  return text;
}

void RunScript(telnet::Session& session, const std::u16string& command) {
  const std::u16string scriptName = text::GetObjectFromCommandline(command);
  const std::u16string parameter = TextAfterArgument(command);
  const bool doWait = text::UpperCase(parameter).find(u"-W") != std::u16string::npos;

  const std::optional<std::int32_t> id =
      ResolveObjectArgument(scriptName, session.currentDir, &api::IPS_GetScriptIDByName);
  if (!id || !api::IPS_ScriptExists(*id)) {
    session.Fail(u"Script not found: " + scriptName);
    session.commandOutcome = "script not found";
    return;
  }

  if (doWait) {
    // Read as the object records read their texts, so that umlauts and every other
    // character of the output read as the script wrote them.
    const std::u16string scriptResult = api::IPS_RunScriptWaitUnicode(*id);
    session.WriteLn(u"---");
    // What the script printed may hold anything: only its line breaks and tabs reach the
    // terminal as such.
    session.WriteLn(text::Inert(text::Html2Txt(BreakTagsToLineEnds(scriptResult)),
                                text::InertLayout::KeepLines));
    session.commandOutcome = "ran, output shown";
    return;
  }

  const bool started = api::IPS_RunScript(*id);
  if (started) {
    session.WriteLn(u"Script started successfully");
  } else {
    session.Fail(u"Script returned an error");
  }
  session.commandOutcome = started ? "started" : "script returned an error";
}

}  // namespace velmar::shell
