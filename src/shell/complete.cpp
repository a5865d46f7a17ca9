#include "shell/complete.h"

#include <algorithm>
#include <optional>

#include "api/ips_objects.h"
#include "api/json_rpc.h"
#include "api/server_calls.h"
#include "core/error.h"
#include "text/case_fold.h"
#include "text/inert.h"

namespace velmar::shell {

namespace {

bool StartsWithFolded(std::u16string_view text, const std::u16string& foldedPrefix) {
  return text.size() >= foldedPrefix.size() &&
         text::FoldCase(text.substr(0, foldedPrefix.size())) == foldedPrefix;
}

bool IsUpperCase(std::u16string_view word) {
  bool letters = false;
  for (const char16_t c : word) {
    if (c >= u'a' && c <= u'z') return false;
    letters = letters || (c >= u'A' && c <= u'Z');
  }
  return letters;
}

std::u16string Lower(std::u16string word) {
  for (char16_t& c : word) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return word;
}

// The command words a person types: letters only ("CD.." and "CD\" are reached from "cd").
bool Typable(const std::u16string& word) {
  return std::all_of(word.begin(), word.end(), [](char16_t c) { return c >= u'A' && c <= u'Z'; });
}

}  // namespace

text::Completion CompleteCommandLine(
    std::u16string_view beforeCursor, const std::vector<std::u16string>& commandWords,
    const std::function<std::vector<std::u16string>()>& childNames) {
  text::Completion result;
  // The command word is the first word; blanks in front of it stay.
  const std::size_t first = beforeCursor.find_first_not_of(u' ');
  if (first == std::u16string_view::npos ||
      beforeCursor.find(u' ', first) == std::u16string_view::npos) {
    result.start = first == std::u16string_view::npos ? beforeCursor.size() : first;
    const std::u16string_view typed = beforeCursor.substr(result.start);
    const std::u16string folded = text::FoldCase(typed);
    const bool upper = IsUpperCase(typed);
    for (const auto& word : commandWords) {
      if (Typable(word) && StartsWithFolded(word, folded))
        result.candidates.push_back(upper ? word : Lower(word));
    }
    std::sort(result.candidates.begin(), result.candidates.end());
    result.candidates.erase(std::unique(result.candidates.begin(), result.candidates.end()),
                            result.candidates.end());
    return result;
  }
  // A name: from an opening quote that is not closed, else from the last blank.
  const std::size_t quotes = std::count(beforeCursor.begin(), beforeCursor.end(), u'"');
  if (quotes % 2 == 1) {
    result.start = beforeCursor.rfind(u'"');
  } else {
    result.start = beforeCursor.rfind(u' ') + 1;
  }
  std::u16string_view typed = beforeCursor.substr(result.start);
  if (!typed.empty() && typed.front() == u'"') typed.remove_prefix(1);
  const std::u16string folded = text::FoldCase(typed);
  for (const auto& name : childNames()) {
    if (name.empty() || !StartsWithFolded(name, folded)) continue;
    const bool blank = name.find(u' ') != std::u16string::npos;
    if (blank && name.find(u'"') != std::u16string::npos) continue;  // cannot be typed
    result.candidates.push_back(blank ? u"\"" + name + u"\"" : name);
  }
  return result;
}

std::vector<std::u16string> ChildNames(std::int32_t category) {
  std::vector<std::u16string> names;
  try {
    std::vector<std::uint16_t> ids;
    for (const std::uint16_t id : api::MakeList(api::IPS_GetChildrenIDs(category))) {
      if (id != 0) ids.push_back(id);
    }
    // The objects are asked for together, as ls asks for them, so that Tab stays quick across
    // a network.
    std::vector<std::optional<std::u16string>> found(ids.size());
    api::RunRequestsTogether(ids.size(), [&](std::size_t index) {
      const api::IPSObject object(api::IPS_GetObject(ids[index]));
      // A name with a control character could not be typed; it is not offered.
      if (object.Parent() == category && text::Inert(object.Name()) == object.Name()) {
        found[index] = object.Name();
      }
    });
    for (auto& name : found) {
      if (name) names.push_back(std::move(*name));
    }
  } catch (const Error&) {
    return {};
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace velmar::shell
