#include <initializer_list>
#include <string>
#include <vector>

#include "json/code_page.h"
#include "json/value.h"

namespace velmar::json {

JsonValue JsonArg::ToValue() const {
  switch (kind_) {
    case Kind::kInt:
      return JsonValue::MakeInt(int_);
    case Kind::kBoolean:
      return JsonValue::MakeBoolean(bool_);
    case Kind::kDouble:
      return JsonValue::MakeDouble(double_);
    case Kind::kUnicode:
      return JsonValue::MakeString(unicode_);
    case Kind::kString:
      break;
  }
  std::u16string text(text_.size(), u'\0');
  for (std::size_t i = 0; i < text_.size(); ++i)
    text[i] = detail::CodePageUnit(static_cast<unsigned char>(text_[i]));
  return JsonValue::MakeString(std::move(text));
}

JsonValue ArrayOf(std::initializer_list<JsonArg> args) {
  JsonValue array = JsonValue::MakeArray();
  for (const JsonArg& arg : args) array.AsArray()->Add(arg.ToValue());
  return array;
}

JsonValue ArrayOf(const std::vector<JsonArg>& args) {
  JsonValue array = JsonValue::MakeArray();
  for (const JsonArg& arg : args) array.AsArray()->Add(arg.ToValue());
  return array;
}

}  // namespace velmar::json
