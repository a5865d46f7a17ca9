#include "shell/set_value.h"

#include <charconv>
#include <system_error>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "core/error.h"
#include "platform/regional.h"
#include "shell/object_argument.h"
#include "text/arguments.h"
#include "text/encoding.h"

namespace velmar::shell {

namespace {

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

bool EqualsIgnoringCase(std::u16string_view text, std::u16string_view upperWord) {
  if (text.size() != upperWord.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != upperWord[i]) return false;
  }
  return true;
}

// Converts the value text and calls the setter for the variable's type. False when the text
// does not convert or the server does not accept the value; nothing for a type this program
// does not know.
std::optional<bool> ConvertAndSet(std::int32_t id, api::IPSVariableType type,
                                  const std::u16string& parameter) {
  const std::u16string separator =
      text::Utf8ToUtf16(platform::CurrentRegionalSettings().decimalSeparator);
  switch (type) {
    case api::IPSVariableType::vtBoolean: {
      auto value = ConvertBoolean(parameter, separator);
      return value && api::SetValueBoolean(id, *value);
    }
    case api::IPSVariableType::vtInteger: {
      auto value = ConvertInteger(parameter);
      return value && api::SetValueInteger(id, *value);
    }
    case api::IPSVariableType::vtFloat: {
      auto value = ConvertFloat(parameter, separator);
      return value && api::SetValueFloat(id, *value);
    }
    case api::IPSVariableType::vtString:
      return api::SetValueString(id, parameter);
  }
  return std::nullopt;
}

}  // namespace

std::optional<double> ConvertFloat(std::u16string_view text, std::u16string_view decimalSeparator) {
  // Rewritten into the locale-independent form that from_chars reads.
  std::string plain;
  std::size_t pos = 0;
  if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
    if (text[pos] == u'-') plain += '-';
    ++pos;
  }
  bool digits = false;
  bool separator = false;
  while (pos < text.size()) {
    if (IsDigit(text[pos])) {
      plain += static_cast<char>(text[pos]);
      digits = true;
      ++pos;
    } else if (!separator && !decimalSeparator.empty() &&
               text.substr(pos, decimalSeparator.size()) == decimalSeparator) {
      plain += '.';
      separator = true;
      pos += decimalSeparator.size();
    } else {
      break;
    }
  }
  if (!digits) return std::nullopt;
  if (pos < text.size() && (text[pos] == u'e' || text[pos] == u'E')) {
    plain += 'e';
    ++pos;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
      plain += static_cast<char>(text[pos]);
      ++pos;
    }
    bool exponentDigits = false;
    while (pos < text.size() && IsDigit(text[pos])) {
      plain += static_cast<char>(text[pos]);
      exponentDigits = true;
      ++pos;
    }
    if (!exponentDigits) return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (error != std::errc() || end != plain.data() + plain.size()) return std::nullopt;
  return value;
}

std::optional<bool> ConvertBoolean(std::u16string_view text, std::u16string_view decimalSeparator) {
  if (auto number = ConvertFloat(text, decimalSeparator)) return *number != 0.0;
  if (EqualsIgnoringCase(text, u"TRUE")) return true;
  if (EqualsIgnoringCase(text, u"FALSE")) return false;
  return std::nullopt;
}

std::optional<std::int32_t> ConvertInteger(std::u16string_view text) {
  try {
    return ReadWholeNumber(text);
  } catch (const Error&) {
    return std::nullopt;  // the form of a number, but beyond 32 bits
  }
}

void SetValue(telnet::Session& session, const std::u16string& command) {
  const std::u16string variableName = text::GetObjectFromCommandline(command);
  const std::u16string parameter = text::Trim(TextAfterArgument(command));

  const auto id =
      ResolveObjectArgument(variableName, session.currentDir, api::IPS_GetVariableIDByName);
  if (!id || !api::IPS_VariableExists(*id)) {
    session.Fail(u"Variable not found: " + variableName);
    session.commandOutcome = "variable not found";
    return;
  }
  const api::IPSVariable variable(api::IPS_GetVariable(*id));

  std::optional<bool> stored;
  try {
    stored = ConvertAndSet(*id, variable.VariableType(), parameter);
  } catch (const Error&) {
    stored = false;  // the server refused the call
  }
  // A setter that answers false did not store the value either; saying nothing would report
  // it as done.
  if (stored == false) {
    session.Fail(u"Operation failed.");
    session.commandOutcome = "failed";
  } else if (!stored) {
    session.Fail();  // nothing is said, but nothing was set either
    session.commandOutcome = "nothing set: variable type not supported";
  }
}

}  // namespace velmar::shell
