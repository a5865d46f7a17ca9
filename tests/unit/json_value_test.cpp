#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "json/json.h"

namespace velmar::json {
namespace {

std::vector<std::u16string> MemberNames(const JsonValue& object) {
  std::vector<std::u16string> names;
  for (const auto& entry : *object.AsObject()) names.push_back(entry.name);
  return names;
}

TEST(JsonTableTest, HashesOfTheEnvelopeNames) {
  const struct {
    std::u16string_view name;
    std::uint32_t hash;
  } cases[] = {
      {u"method", 0xDF0B3207},  {u"params", 0x9089668A},  {u"id", 0x57EE35CF},
      {u"jsonrpc", 0x4B30D806}, {u"message", 0xF3BE77EC}, {u"result", 0x753A48A5},
      {u"error", 0x4C8125AF},   {u"code", 0x2AC43A1F},    {u"", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JsonTable::Hash(c.name), c.hash) << std::string(c.name.begin(), c.name.end());
}

TEST(JsonTableTest, MembersIterateInHashOrderWhateverTheInsertionOrder) {
  JsonValue request = ParseJson(u"{}");
  request.PutString(u"jsonrpc", u"2.0");
  request.PutString(u"method", u"IPS_GetObject");
  request.Put(u"params", ArrayOf({12345}));
  request.PutInt(u"id", 1);
  EXPECT_EQ(MemberNames(request),
            (std::vector<std::u16string>{u"method", u"params", u"id", u"jsonrpc"}));

  JsonValue reversed = JsonValue::MakeObject();
  reversed.PutInt(u"id", 1);
  reversed.Put(u"params", ArrayOf({12345}));
  reversed.PutString(u"method", u"IPS_GetObject");
  reversed.PutString(u"jsonrpc", u"2.0");
  EXPECT_EQ(reversed.AsJson(), request.AsJson());
  EXPECT_EQ(request.AsJson(),
            u"{\"method\":\"IPS_GetObject\",\"params\":[12345],\"id\":1,\"jsonrpc\":\"2.0\"}");
}

TEST(JsonTableTest, EqualHashesOrderByName) {
  // "a\x81" and "b\x00" collide: 'a'*129 + 0x81 == 'b'*129 + 0 (mod 2^32).
  std::u16string first{u'a', char16_t(0x81 + 0)};
  std::u16string second{u'b', char16_t(0)};
  ASSERT_EQ(JsonTable::Hash(first), JsonTable::Hash(second));
  JsonValue object = JsonValue::MakeObject();
  object.PutInt(second, 2);
  object.PutInt(first, 1);
  EXPECT_EQ(MemberNames(object), (std::vector<std::u16string>{first, second}));
  EXPECT_EQ(object.Get(first).AsInteger(), 1);
  EXPECT_EQ(object.Get(second).AsInteger(), 2);
}

TEST(JsonTableTest, RepeatedNameReplacesTheValueAndKeepsTheCount) {
  JsonValue object = JsonValue::MakeObject();
  object.PutInt(u"a", 1);
  object.PutString(u"b", u"x");
  object.PutInt(u"a", 2);
  EXPECT_EQ(object.AsObject()->Count(), 2u);
  EXPECT_EQ(object.Get(u"a").AsInteger(), 2);
  // Names differing only in case are two members.
  object.PutInt(u"A", 3);
  EXPECT_EQ(object.AsObject()->Count(), 3u);
  EXPECT_EQ(object.Get(u"a").AsInteger(), 2);
  EXPECT_EQ(object.Get(u"A").AsInteger(), 3);
}

TEST(JsonTableTest, FindLeavesTheOutParameterAloneWhenMissing) {
  JsonValue object = ParseJson(u"{\"a\":null}");
  JsonTable& table = *object.AsObject();
  JsonValue out = JsonValue::MakeInt(7);
  EXPECT_FALSE(table.Find(u"b", out));
  EXPECT_EQ(out.AsInteger(), 7);
  EXPECT_TRUE(table.Find(u"a", out));
  EXPECT_EQ(out.DataType(), JsonType::stNull);
}

TEST(JsonValueTest, NullMemberIsAValueAndMissingMemberIsNone) {
  JsonValue object = ParseJson(u"{\"a\":null}");
  JsonValue a = object.Get(u"a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a.DataType(), JsonType::stNull);
  EXPECT_EQ(a.AsString(), u"");
  EXPECT_FALSE(a.AsBoolean());
  EXPECT_EQ(a.AsInteger(), 0);
  EXPECT_FALSE(object.Get(u"b"));
  // Members of something that is not an object are missing, not an error.
  EXPECT_FALSE(ParseJson(u"<html>").Get(u"result"));
  EXPECT_FALSE(JsonValue().Get(u"result"));
}

TEST(JsonValueTest, OperationsOnNoValueRaiseAnError) {
  JsonValue none;
  EXPECT_THROW(none.AsBoolean(), Error);
  EXPECT_THROW(none.AsInteger(), Error);
  EXPECT_THROW(none.AsString(), Error);
  EXPECT_THROW(none.DataType(), Error);
  EXPECT_THROW(none.PutInt(u"a", 1), Error);
  EXPECT_THROW(JsonValue::MakeArray().PutInt(u"a", 1), Error);
  EXPECT_EQ(JsonValue::MakeInt(1).AsObject(), nullptr);
  EXPECT_EQ(JsonValue::MakeObject().AsArray(), nullptr);
}

TEST(JsonValueTest, AsBoolean) {
  const struct {
    std::u16string_view json;
    bool expected;
  } cases[] = {
      {u"null", false},  {u"true", true},  {u"false", false},    {u"0", false},
      {u"3", true},      {u"0.0", false},  {u"0.5", true},       {u"0E0", false},
      {u"1E-300", true}, {u"\"\"", false}, {u"\"false\"", true}, {u"\"0\"", true},
      {u"{}", true},     {u"[]", true},
  };
  for (const auto& c : cases) {
    JsonValue value = ParseJson(c.json);
    ASSERT_TRUE(value) << std::string(c.json.begin(), c.json.end());
    EXPECT_EQ(value.AsBoolean(), c.expected) << std::string(c.json.begin(), c.json.end());
  }
}

TEST(JsonValueTest, AsIntegerOfNumbersAndLiterals) {
  const struct {
    JsonValue value;
    std::int64_t expected;
  } cases[] = {
      {JsonValue::MakeNull(), 0},
      {JsonValue::MakeBoolean(true), 1},
      {JsonValue::MakeBoolean(false), 0},
      {JsonValue::MakeInt(-9223372036854775807 - 1), -9223372036854775807 - 1},
      {JsonValue::MakeDouble(2.5), 2},
      {JsonValue::MakeDouble(3.5), 4},
      {JsonValue::MakeDouble(-2.5), -2},
      {JsonValue::MakeDouble(-2.6), -3},
      {JsonValue::MakeDouble(2.4999), 2},
      {JsonValue::MakeDouble(1e300), 9223372036854775807},
      {JsonValue::MakeDouble(-1e300), -9223372036854775807 - 1},
      {JsonValue::MakeCurrency(125000), 12},  // 12.5
      {JsonValue::MakeCurrency(135000), 14},  // 13.5
      {JsonValue::MakeCurrency(-125000), -12},
      {JsonValue::MakeCurrency(-125001), -13},
      {JsonValue::MakeCurrency(4999), 0},
      {JsonValue::MakeObject(), 0},
      {JsonValue::MakeArray(), 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].value.AsInteger(), cases[i].expected) << "case " << i;
}

TEST(JsonValueTest, AsIntegerOfStrings) {
  const struct {
    std::u16string_view text;
    std::int64_t expected;
  } cases[] = {
      {u"42", 42},
      {u"42abc", 0},
      {u"$1F", 31},
      {u"x1f", 31},
      {u"X1F", 31},
      {u"0x1F", 31},
      {u"0X1f", 31},
      {u"-$10", -16},
      {u"  -17", -17},
      {u"+8", 8},
      {u"8 ", 0},
      {u"", 0},
      {u"-", 0},
      {u"$", 0},
      {u"0x", 0},
      {u"1.5", 0},
      {u"9223372036854775807", 9223372036854775807},
      {u"-9223372036854775808", -9223372036854775807 - 1},
      {u"9223372036854775808", 0},
      {u"$FFFFFFFFFFFFFFFF", -1},
      {u"$10000000000000000", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JsonValue::MakeString(std::u16string(c.text)).AsInteger(), c.expected)
        << std::string(c.text.begin(), c.text.end());
}

TEST(JsonValueTest, AsStringGivesTextOrCompactUnescapedJson) {
  EXPECT_EQ(JsonValue::MakeString(u"a\"/ü").AsString(), u"a\"/ü");
  EXPECT_EQ(JsonValue::MakeNull().AsString(), u"");
  EXPECT_EQ(JsonValue::MakeBoolean(false).AsString(), u"false");
  EXPECT_EQ(JsonValue::MakeInt(-5).AsString(), u"-5");
  EXPECT_EQ(JsonValue::MakeDouble(21.5).AsString(), u"21.5");
  EXPECT_EQ(JsonValue::MakeCurrency(210000).AsString(), u"21");
  EXPECT_EQ(ParseJson(u"[10, 20, 30]").AsString(), u"[10,20,30]");
  EXPECT_EQ(ParseJson(u"{\"n\":\"K\\u00fcche/1\"}").AsString(), u"{\"n\":\"Küche/1\"}");
}

TEST(JsonValueTest, ArrayOfTypedArguments) {
  EXPECT_EQ(ArrayOf().AsJson(), u"[]");
  EXPECT_EQ(ArrayOf({12345}).AsJson(), u"[12345]");
  JsonValue args = ArrayOf({-7, true, 2.5,
                            "K\xfc"
                            "che \x80"});
  EXPECT_EQ(args.AsJson(false), u"[-7,true,2.5,\"Küche €\"]");
  const JsonArray& array = *args.AsArray();
  ASSERT_EQ(array.Length(), 4u);
  EXPECT_EQ(array[0].DataType(), JsonType::stInt);
  EXPECT_EQ(array[1].DataType(), JsonType::stBoolean);
  EXPECT_EQ(array[2].DataType(), JsonType::stDouble);
  EXPECT_EQ(array[3].DataType(), JsonType::stString);
  EXPECT_FALSE(array[4]);
}

TEST(JsonValueTest, SharedValuesLiveUntilTheLastReference) {
  const std::int64_t before = LiveValueCount();
  {
    JsonValue element = JsonValue::MakeString(u"shared");
    JsonValue first = ArrayOf();
    JsonValue second = JsonValue::MakeObject();
    first.AsArray()->Add(element);
    second.Put(u"e", element);
    element = JsonValue();
    first = JsonValue();
    EXPECT_EQ(second.Get(u"e").AsString(), u"shared");
    EXPECT_EQ(LiveValueCount(), before + 2);
    JsonValue parsed = ParseJson(u"{\"a\":[1,2,{\"b\":null}],\"c\":\"x\"}");
    JsonValue failed = ParseJson(u"{\"a\":[1,2,{\"b\":null}],\"c\":\"x\"");
    EXPECT_FALSE(failed);
    EXPECT_EQ(LiveValueCount(), before + 2 + 7);
  }
  EXPECT_EQ(LiveValueCount(), before);
}

TEST(JsonValueTest, PartsOfAReplyOutliveTheReply) {
  const std::int64_t before = LiveValueCount();
  JsonValue result, name;
  {
    JsonValue reply = ParseJsonCodePage(
        "{\"jsonrpc\":\"2.0\",\"result\":{\"ObjectName\":\"Bad\",\"ChildrenIDs\":[1,2]},\"id\":1}");
    result = reply.Get(u"result");
    name = result.Get(u"ObjectName");
  }
  result.Put(u"Added", JsonValue::MakeInt(3));  // parsed and built values mix freely
  EXPECT_EQ(result.AsJson(), u"{\"Added\":3,\"ChildrenIDs\":[1,2],\"ObjectName\":\"Bad\"}");
  // The last reference may go on another thread.
  std::thread([moved = std::move(result)]() mutable { moved = JsonValue(); }).join();
  EXPECT_EQ(name.AsString(), u"Bad");
  name = JsonValue();
  EXPECT_EQ(LiveValueCount(), before);
}

// What a parse built (in its arena) changes like anything else: elements added to short and
// long lists, members added and replaced, and the members listed again after a change.
TEST(JsonValueTest, ReadValuesCanBeChanged) {
  const std::int64_t before = LiveValueCount();
  {
    std::string longList = "[0";
    for (int i = 1; i < 2000; ++i) longList += "," + std::to_string(i);
    JsonValue reply = ParseJsonCodePage("{\"short\":[1,2],\"long\":" + longList + "]}");
    ASSERT_TRUE(reply);
    for (const char16_t* name : {u"short", u"long"}) {
      JsonArray& list = *reply.Get(name).AsArray();
      const std::size_t length = list.Length();
      const std::int64_t last = list.Get(length - 1).AsInteger();
      for (int i = 0; i < 100; ++i) EXPECT_EQ(list.Add(JsonValue::MakeInt(-i)), length + i);
      EXPECT_EQ(list.Get(length - 1).AsInteger(), last);
      EXPECT_EQ(list.Get(length + 99).AsInteger(), -99);
    }
    JsonValue object = reply;
    EXPECT_EQ(MemberNames(object), (std::vector<std::u16string>{u"short", u"long"}));
    object.Put(u"added", reply.Get(u"short"));
    object.PutInt(u"long", 7);
    EXPECT_EQ(MemberNames(object), (std::vector<std::u16string>{u"short", u"long", u"added"}));
    EXPECT_EQ(object.Get(u"long").AsInteger(), 7);
    EXPECT_EQ(object.Get(u"added").AsArray(), object.Get(u"short").AsArray());
  }
  EXPECT_EQ(LiveValueCount(), before);
}

TEST(JsonValueTest, DeepNestingIsTornDownWithoutRecursion) {
  const std::int64_t before = LiveValueCount();
  {
    JsonValue root = JsonValue::MakeArray();
    JsonValue innermost = root;
    for (int i = 0; i < 1'000'000; ++i) {
      JsonValue child = (i % 2 == 0) ? JsonValue::MakeObject() : JsonValue::MakeArray();
      if (innermost.DataType() == JsonType::stArray) {
        innermost.AsArray()->Add(child);
      } else {
        innermost.Put(u"k", child);
      }
      innermost = child;
    }
    innermost = JsonValue();
    // The writer is iterative too.
    std::u16string text = root.AsJson();
    EXPECT_EQ(text.size(), 1 + 1'000'000 / 2 * 6 + 1'000'000 / 2 * 2 + 1);
    EXPECT_EQ(LiveValueCount(), before + 1'000'001);
  }
  EXPECT_EQ(LiveValueCount(), before);
}

TEST(JsonValueTest, WritingAValueThatContainsItselfFails) {
  JsonValue object = JsonValue::MakeObject();
  JsonValue array = JsonValue::MakeArray();
  object.Put(u"a", array);
  array.AsArray()->Add(object);
  EXPECT_THROW(object.AsJson(), Error);
  // The failed write leaves nothing marked: after breaking the cycle, writing works again.
  object.Put(u"a", JsonValue::MakeInt(1));
  EXPECT_EQ(object.AsJson(), u"{\"a\":1}");
  EXPECT_EQ(array.AsJson(), u"[{\"a\":1}]");
}

}  // namespace
}  // namespace velmar::json
