#include "text/inert.h"

#include <exception>

#include "text/encoding.h"

namespace velmar::text {

namespace {

bool IsControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::u16string Inert(std::u16string_view value, InertLayout layout) {
  std::u16string result;
  result.reserve(value.size());
  const bool keepLines = layout == InertLayout::KeepLines;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (!IsControl(c)) {
      result.push_back(c);
    } else if (keepLines && c == u'\t') {
      result.push_back(c);
    } else if (keepLines && (c == u'\r' || c == u'\n')) {
      if (c == u'\r' && i + 1 < value.size() && value[i + 1] == u'\n') ++i;
      result.append(u"\r\n");
    } else {
      result.push_back(kInertPlaceholder);
    }
  }
  return result;
}

std::string InertUtf8(std::string_view value) {
  return Utf16ToUtf8(Inert(Utf8ToUtf16(value)));
}

std::string CaughtMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return InertUtf8(e.what());
  } catch (...) {
    return "a failure that carries no message";
  }
}

}  // namespace velmar::text
