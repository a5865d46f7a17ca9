#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json/json.h"

namespace velmar::json {
namespace {

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

TEST(JsonWriterTest, FloatToJson) {
  const struct {
    double value;
    std::u16string_view text;
  } cases[] = {
      {0.0, u"0"},
      {-0.0, u"0"},
      {21.5, u"21.5"},
      {0.1, u"0.1"},
      {100, u"100"},
      {0.0005, u"0.0005"},
      {0.00005, u"5E-5"},
      {1e20, u"1E20"},
      {1.5e-7, u"1.5E-7"},
      {1.0 / 3.0, u"0.333333333333333"},
      {2.0 / 3.0, u"0.666666666666667"},
      {-21.5, u"-21.5"},
      {-0.00005, u"-5E-5"},
      {123456789012345.0, u"123456789012345"},
      {999999999999999.0, u"999999999999999"},
      {1e15, u"1E15"},
      {1234567890123456.0, u"1.23456789012346E15"},
      {0.001, u"0.001"},
      {0.00123, u"0.00123"},
      {20.400000000000002, u"20.4"},
      {9.9999999999999999, u"10"},
      {1e-300, u"1E-300"},
      {1.7976931348623157e308, u"1.79769313486232E308"},
      {5e-324, u"4.94065645841247E-324"},
      {std::numeric_limits<double>::infinity(), u"null"},
      {std::nan(""), u"null"},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatToJson(c.value), c.text) << c.value;
}

// Fills the stack below the caller with digits, so that a number text that is read past its
// end picks them up.
[[gnu::noinline]] void DirtyTheStack() {
  volatile char junk[4096];
  for (auto& c : junk) c = '7';
}

TEST(JsonWriterTest, FloatToJsonReadsOnlyItsOwnDigits) {
  // Found by fuzzing: the exponent was read beyond the end of the digits.
  for (double value : {1.7e9, 21.5, 2e-3, 1e20}) {
    DirtyTheStack();
    std::u16string text = FloatToJson(value);
    DirtyTheStack();
    EXPECT_EQ(JsonValue::MakeDouble(value).AsJson(), text);
    EXPECT_EQ(ParseJson(text).AsDouble(), value) << Narrow(text);
  }
}

TEST(JsonWriterTest, CurrToJson) {
  const struct {
    std::int64_t tenThousandths;
    std::u16string_view text;
  } cases[] = {
      {125000, u"12.5"},
      {210000, u"21"},
      {-2500, u"-0.25"},
      {1, u"0.0001"},
      {-1, u"-0.0001"},
      {0, u"0"},
      {123456789, u"12345.6789"},
      {9223372036854775807, u"922337203685477.5807"},
      {-9223372036854775807 - 1, u"-922337203685477.5808"},
  };
  for (const auto& c : cases) EXPECT_EQ(CurrToJson(c.tenThousandths), c.text) << c.tenThousandths;
}

TEST(JsonWriterTest, RequestEnvelopeWithFullEscaping) {
  JsonValue request = ParseJson(u"{}");
  request.PutString(u"jsonrpc", u"2.0");
  request.PutString(u"method", u"IPS_GetObject");
  request.Put(u"params", ArrayOf({12345}));
  request.PutInt(u"id", 1);
  std::u16string text = request.AsJson(true);
  EXPECT_EQ(text,
            u"{\"method\":\"IPS_GetObject\",\"params\":[12345],\"id\":1,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(text.size(), 66u);

  request.Put(u"params", ArrayOf({"K\xfc"
                                  "che/Bad",
                                  10000}));
  EXPECT_EQ(request.AsJson(true),
            u"{\"method\":\"IPS_GetObject\",\"params\":[\"K\\u00fcche\\/Bad\",10000],\"id\":1,"
            u"\"jsonrpc\":\"2.0\"}");
}

TEST(JsonWriterTest, Escaping) {
  const struct {
    std::u16string_view text;
    std::u16string_view full;
    std::u16string_view minimal;
  } cases[] = {
      {u"plain ~\x7f", u"\"plain ~\x7f\"", u"\"plain ~\x7f\""},
      {u"\t\"", u"\"\\t\\\"\"", u"\"\t\\\"\""},
      {u"\b\n\f\r", u"\"\\b\\n\\f\\r\"", u"\"\b\n\f\r\""},
      {u"a/b\\c", u"\"a\\/b\\\\c\"", u"\"a/b\\\\c\""},
      {std::u16string_view(u"\0\x01\x1f", 3), u"\"\\u0000\\u0001\\u001f\"",
       std::u16string_view(u"\"\\u0000\x01\x1f\"", 10)},
      {u"\u00e4\u0080\u00ff", u"\"\\u00e4\\u0080\\u00ff\"", u"\"\u00e4\u0080\u00ff\""},
      {u"\u20ac\uFFFF", u"\"\\u20ac\\uffff\"", u"\"\u20ac\uFFFF\""},
      {u"😀", u"\"\\ud83d\\ude00\"", u"\"😀\""},
  };
  for (const auto& c : cases) {
    JsonValue value = JsonValue::MakeString(std::u16string(c.text));
    EXPECT_EQ(value.AsJson(true), c.full) << Narrow(c.text);
    EXPECT_EQ(value.AsJson(false), c.minimal) << Narrow(c.text);
  }
  // Member names are escaped the same way.
  JsonValue object = JsonValue::MakeObject();
  object.PutInt(u"\u00e4/", 1);
  EXPECT_EQ(object.AsJson(true), u"{\"\\u00e4\\/\":1}");
  EXPECT_EQ(object.AsJson(false), u"{\"\u00e4/\":1}");
}

TEST(JsonWriterTest, EscapedTextReadsBackUnchanged) {
  std::u16string all;
  for (char32_t c = 0; c < 0x10000; c += 7) all += static_cast<char16_t>(c);
  JsonValue value = JsonValue::MakeString(all);
  for (bool escape : {true, false}) {
    JsonValue back = ParseJson(value.AsJson(escape));
    ASSERT_TRUE(back);
    EXPECT_EQ(back.AsString(), all) << "escape " << escape;
  }
  std::u16string full = value.AsJson(true);
  for (char16_t c : full) ASSERT_TRUE(c >= 32 && c < 128) << int(c);
}

TEST(JsonWriterTest, KindsAndEmptySlots) {
  JsonValue array = ArrayOf();
  array.AsArray()->Add(JsonValue());
  array.AsArray()->Add(JsonValue::MakeNull());
  array.AsArray()->Add(JsonValue::MakeCurrency(-2500));
  array.AsArray()->Add(JsonValue::MakeDouble(2e3));
  array.AsArray()->Add(JsonValue::MakeInt(-9223372036854775807 - 1));
  array.AsArray()->Add(JsonValue::MakeObject());
  array.AsArray()->Add(ArrayOf());
  JsonValue object = JsonValue::MakeObject();
  object.Put(u"slot", JsonValue());
  array.AsArray()->Add(object);
  EXPECT_EQ(array.AsJson(), u"[null,null,-0.25,2000,-9223372036854775808,{},[],{\"slot\":null}]");
  EXPECT_EQ(AsJson(JsonValue()), u"");
}

// A document for a UTF-8 stream keeps every character a reader or a terminal can take as it
// is, and escapes what JSON forbids raw and what could act on a terminal.
TEST(JsonWriterTest, DocumentEscapesOnlyWhatCouldHarm) {
  const struct {
    std::u16string text;
    std::u16string_view json;
  } cases[] = {
      {u"K\u00fcche \u20ac /", u"\"K\u00fcche \u20ac /\""},  // kept as characters
      {u"a\"b\\c", u"\"a\\\"b\\\\c\""},
      {u"\b\t\n\f\r", u"\"\\b\\t\\n\\f\\r\""},
      {std::u16string(u"\0\x1b[31m", 6), u"\"\\u0000\\u001b[31m\""},
      {u"\x7f\x80\x9b\xa0", u"\"\\u007f\\u0080\\u009b\xa0\""},  // DEL, C1; NBSP kept
      {u"\u2028\u2029", u"\"\\u2028\\u2029\""},
      {u"\U0001F600", u"\"\U0001F600\""},  // a surrogate pair is one character
      {u"x\xd83d", u"\"x\\ud83d\""},       // lone high surrogate
      {u"\xde00x", u"\"\\ude00x\""},       // lone low surrogate
  };
  for (const auto& c : cases) {
    const JsonValue value = JsonValue::MakeString(c.text);
    EXPECT_EQ(AsJsonDocument(value), c.json) << Narrow(c.json);
    // A reader gets the text back.
    EXPECT_EQ(ParseJson(AsJsonDocument(value)).AsString(), c.text) << Narrow(c.json);
  }
  JsonValue object = JsonValue::MakeObject();
  object.Put(u"\x1b", JsonValue::MakeDouble(20.5));
  EXPECT_EQ(AsJsonDocument(object), u"{\"\\u001b\":20.5}");
  EXPECT_EQ(AsJsonDocument(JsonValue()), u"");
}

TEST(JsonWriterTest, ReadWriteRoundTrip) {
  const std::u16string_view texts[] = {
      u"{\"method\":\"IPS_GetObject\",\"params\":[12345],\"id\":1,\"jsonrpc\":\"2.0\"}",
      u"[1,-2,2.5,0.0001,1.5E-7,true,false,null,\"\",{},[],[[[]]]]",
      u"{\"b\":{\"c\":[{\"d\":\"e\"}]},\"a\":1}",
  };
  for (auto text : texts) {
    JsonValue value = ParseJson(text);
    ASSERT_TRUE(value) << Narrow(text);
    std::u16string once = value.AsJson();
    EXPECT_EQ(ParseJson(once).AsJson(), once) << Narrow(text);
  }
  EXPECT_EQ(ParseJson(texts[0]).AsJson(), texts[0]);
}

}  // namespace
}  // namespace velmar::json
