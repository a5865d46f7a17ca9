#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "json/json.h"

namespace velmar::json {
namespace {

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// The outcome of a read, for comparing two readers: no value, or the kind and the text.
std::string Outcome(const JsonValue& value) {
  if (!value) return "no value";
  return std::to_string(static_cast<int>(value.DataType())) + " " + Narrow(value.AsJson());
}

// Reads `bytes` in pieces: cut at each of `cuts`, or byte by byte when there are none.
JsonValue ReadInPieces(std::string_view bytes, std::initializer_list<std::size_t> cuts = {}) {
  JsonStreamReader reader;
  std::size_t at = 0;
  if (cuts.size() == 0) {
    for (char c : bytes) reader.Feed(std::string_view(&c, 1));
    return reader.Finish();
  }
  for (std::size_t cut : cuts) {
    cut = std::min(std::max(cut, at), bytes.size());
    reader.Feed(bytes.substr(at, cut - at));
    at = cut;
  }
  reader.Feed(bytes.substr(at));
  return reader.Finish();
}

// Reads `bytes` in pieces of `step` bytes, as a socket hands them over.
JsonValue ReadInSteps(std::string_view bytes, std::size_t step) {
  JsonStreamReader reader;
  for (std::size_t at = 0; at < bytes.size(); at += step) reader.Feed(bytes.substr(at, step));
  return reader.Finish();
}

// Reads `text` as UTF-16 and, where every character is one byte of the code page with the same
// value, also as code-page bytes, whole and in pieces, and checks that all agree. Gives the
// UTF-16 result.
JsonValue Parse(std::u16string_view text) {
  JsonValue wide = ParseJson(text);
  std::string bytes;
  for (char16_t c : text) {
    if (c > 0xFF || (c >= 0x80 && c < 0xA0)) return wide;
    bytes += static_cast<char>(c);
  }
  JsonValue narrow = ParseJsonCodePage(bytes);
  EXPECT_EQ(Outcome(wide), Outcome(narrow)) << Narrow(text);
  EXPECT_EQ(Outcome(ReadInPieces(bytes)), Outcome(narrow)) << "byte by byte: " << Narrow(text);
  EXPECT_EQ(Outcome(ReadInPieces(bytes, {bytes.size() / 3, bytes.size() * 2 / 3})), Outcome(narrow))
      << "in thirds: " << Narrow(text);
  return wide;
}

// What a text reads as: its kind and its compact, minimally escaped JSON text.
struct ReadCase {
  std::u16string_view text;
  JsonType type;
  std::u16string_view json;
};

void CheckReads(const ReadCase& c) {
  JsonValue value = Parse(c.text);
  ASSERT_TRUE(value) << "no value for: " << Narrow(c.text);
  EXPECT_EQ(value.DataType(), c.type) << Narrow(c.text);
  EXPECT_EQ(value.AsJson(false), c.json) << Narrow(c.text);
}

TEST(JsonReaderTest, StandardJson) {
  const ReadCase cases[] = {
      {u"{}", JsonType::stObject, u"{}"},
      {u" [ ] ", JsonType::stArray, u"[]"},
      {u"{\"a\":[1,true,false,null,\"x\"],\"b\":{}}", JsonType::stObject,
       u"{\"b\":{},\"a\":[1,true,false,null,\"x\"]}"},  // "b" has the greater hash
      {u"\t\r\n\b\f \"s\"", JsonType::stString, u"\"s\""},
      {u"21", JsonType::stInt, u"21"},
      {u"-0", JsonType::stInt, u"0"},
      {u"9223372036854775807", JsonType::stInt, u"9223372036854775807"},
      {u"true", JsonType::stBoolean, u"true"},
      {u"false", JsonType::stBoolean, u"false"},
      {u"null", JsonType::stNull, u"null"},
  };
  for (const auto& c : cases) CheckReads(c);
}

TEST(JsonReaderTest, NumberKinds) {
  const ReadCase cases[] = {
      {u"21.5", JsonType::stCurrency, u"21.5"},
      {u"21.0", JsonType::stCurrency, u"21"},
      {u"12.50", JsonType::stCurrency, u"12.5"},
      {u"-0.25", JsonType::stCurrency, u"-0.25"},
      {u"0.0001", JsonType::stCurrency, u"0.0001"},
      {u"1.", JsonType::stCurrency, u"1"},
      {u"21.12345", JsonType::stDouble, u"21.12345"},
      {u"20.400000000000002", JsonType::stDouble, u"20.4"},
      {u"2E3", JsonType::stDouble, u"2000"},
      {u"2e-3", JsonType::stDouble, u"0.002"},
      {u"1.5E+2", JsonType::stDouble, u"150"},
      {u"1e400", JsonType::stDouble, u"null"},  // no text for infinity
      {u"1e-400", JsonType::stDouble, u"0"},
      // Beyond the 64-bit range: integers and fixed-point values read as doubles.
      {u"9223372036854775808", JsonType::stDouble, u"9.22337203685478E18"},
      {u"-9223372036854775809", JsonType::stDouble, u"-9.22337203685478E18"},
      {u"922337203685477.5807", JsonType::stCurrency, u"922337203685477.5807"},
      {u"922337203685477.5808", JsonType::stDouble, u"922337203685478"},
      // The number ends at the first other character; at the top level reading stops there.
      {u"123abc", JsonType::stInt, u"123"},
      {u"[1,2.5,3e0]", JsonType::stArray, u"[1,2.5,3]"},
  };
  for (const auto& c : cases) CheckReads(c);
  EXPECT_EQ(Parse(u"12.5").AsInteger(), 12);
  EXPECT_EQ(Parse(u"-12.5").AsDouble(), -12.5);
}

TEST(JsonReaderTest, LenientExtensions) {
  const ReadCase cases[] = {
      // Comments wherever white space may stand.
      {u"/* c */ {/**/\"a\" /* x */ : // y\n 1 /**/, } // end\n", JsonType::stObject, u"{\"a\":1}"},
      // Single quotes, the other quote unescaped inside.
      {u"['it\"s', \"it's\"]", JsonType::stArray, u"[\"it\\\"s\",\"it's\"]"},
      // Unquoted names run up to the colon, spaces included.
      {u"{ a : 1, b_c:2, 'd':3 }", JsonType::stObject, u"{\"b_c\":2,\"d\":3,\"a \":1}"},
      // Trailing commas.
      {u"[1,2,]", JsonType::stArray, u"[1,2]"},
      {u"{\"a\":1,}", JsonType::stObject, u"{\"a\":1}"},
      // Repeated member names keep the later value.
      {u"{\"a\":1,\"a\":2}", JsonType::stObject, u"{\"a\":2}"},
      // Escapes.
      {u"\"\\b\\t\\n\\f\\r\\\"\\\\\\/\\'\\q\"", JsonType::stString, u"\"\b\t\n\f\r\\\"\\\\/'q\""},
      {u"\"\\u00e4\\u00C4\\x41\\xe4\\ud83d\\ude00\"", JsonType::stString, u"\"äÄAä😀\""},
      // Control characters inside strings are taken as they are.
      {u"\"a\tb\nc\"", JsonType::stString, u"\"a\tb\nc\""},
      // Bare words: inside containers up to the next separator, trailing blanks removed.
      {u"[abc def , ghi\\,jkl\\]\n]", JsonType::stArray, u"[\"abc def\",\"ghi,jkl]\"]"},
      {u"{\"a\": some text }", JsonType::stObject, u"{\"a\":\"some text\"}"},
      {u"[a\t, b \r\n]", JsonType::stArray, u"[\"a\t\",\"b\"]"},  // tabs stay
      {u"{a\"b:1}", JsonType::stObject, u"{\"a\\\"b\":1}"},
      {u"[,]", JsonType::stArray, u"[\"\"]"},
      {u"{\"a\":}", JsonType::stObject, u"{\"a\":\"\"}"},
      // Literals are lower case only, and end where a word cannot go on.
      {u"True", JsonType::stString, u"\"True\""},
      {u"[True, NULL, nul, nullx, null_, null., false ]", JsonType::stArray,
       u"[\"True\",\"NULL\",\"nul\",\"nullx\",\"null_\",\"null.\",false]"},
      {u"truex", JsonType::stString, u"\"truex\""},
      {u"[tru\u0101e]", JsonType::stArray, u"[\"tru\u0101e\"]"},
      {u"null\u00e9", JsonType::stNull, u"null"},
      {u"null\u0100", JsonType::stString, u"\"null\u0100\""},
  };
  for (const auto& c : cases) CheckReads(c);
}

TEST(JsonReaderTest, TextThatIsNotJsonReadsAsOneString) {
  const ReadCase cases[] = {
      {u"", JsonType::stString, u"\"\""},
      {u"   \r\n ", JsonType::stString, u"\"\""},
      {u"<html><body>Error 404</body></html> \r\n", JsonType::stString,
       u"\"<html><body>Error 404</body></html>\""},
      {u"  Not Found\r\n\tline 2\n", JsonType::stString, u"\"Not Found\r\n\tline 2\""},
      {u"a\\u0041\\n", JsonType::stString, u"\"aA\""},
  };
  for (const auto& c : cases) CheckReads(c);
}

TEST(JsonReaderTest, TrailingTextIsIgnored) {
  const ReadCase cases[] = {
      {u"{\"a\":1}xyz", JsonType::stObject, u"{\"a\":1}"},
      {u"[1] ]", JsonType::stArray, u"[1]"},
      {u"\"s\" tail", JsonType::stString, u"\"s\""},
      {u"null null", JsonType::stNull, u"null"},
      {u"false1", JsonType::stBoolean, u"false"},
  };
  for (const auto& c : cases) CheckReads(c);
  // The text ends at a NUL character.
  CheckReads({std::u16string_view(u"[1]\0garbage", 11), JsonType::stArray, u"[1]"});
  CheckReads({std::u16string_view(u"ab\0cd", 5), JsonType::stString, u"\"ab\""});
}

TEST(JsonReaderTest, MalformedTextGivesNoValue) {
  const std::u16string_view cases[] = {
      u"{",
      u"[",
      u"[1",
      u"[1,",
      u"{\"a\"",
      u"{\"a\":",
      u"{\"a\":1",
      u"\"abc",
      u"'abc\"",
      u"{\"a\" 1}",
      u"{\"a\":1 \"b\":2}",
      u"[1 2]",
      u"[1}",
      u"{\"a\":1]",
      u"{,}",
      u"{\"a\":1,,}",
      u"{:1}",
      u"{.a:1}",
      u"{a}",
      u"[abc",
      u"{\"a\":abc",
      u"\"\\u12G4\"",
      u"\"\\x4\"",
      u"\"\\",
      u"\"\\u12",
      u"[\"a\\",
      u"/",
      u"/x{}",
      u"{}/",
      u"{} /x",
      u"/* open",
      u"{} /* open",
      u"{} // no line feed",
      u"// only",
      u"-",
      u"--1",
      u"1-2",
      u"1.2.3",
      u"1e",
      u"1e+",
      u"-.",
      u"1E5.5",
      u"[1.2.3]",
      u"[nul",
      u"[true",
      u"-5-",
      u"[false1]",
  };
  for (auto text : cases) EXPECT_FALSE(Parse(text)) << Narrow(text);
  EXPECT_FALSE(Parse(std::u16string_view(u"[1,\0]", 5)));
  EXPECT_FALSE(Parse(std::u16string_view(u"\"a\0\"", 4)));
}

TEST(JsonReaderTest, NestingLimit) {
  auto nested = [](int depth, std::u16string_view inner) {
    return std::u16string(depth, u'[') + std::u16string(inner) + std::u16string(depth, u']');
  };
  EXPECT_TRUE(Parse(nested(31, u"1")));
  EXPECT_FALSE(Parse(nested(32, u"1")));
  EXPECT_TRUE(Parse(nested(32, u"")));  // the innermost array is itself inside 31
  EXPECT_FALSE(Parse(nested(33, u"")));
  std::u16string objects;
  for (int i = 0; i < 31; ++i) objects += u"{\"a\":";
  EXPECT_TRUE(Parse(objects + u"1" + std::u16string(31, u'}')));
  EXPECT_FALSE(Parse(objects + u"{\"a\":1}" + std::u16string(31, u'}')));
  EXPECT_FALSE(Parse(nested(100000, u"")));
}

TEST(JsonReaderTest, CodePageBytesMapThroughWindows1252) {
  // The reply bytes of UTF-8 "Küche" arrive one character per byte.
  JsonValue utf8 = ParseJsonCodePage(
      "{\"n\":\"K\xc3\xbc"
      "che\",\"e\":\"\x80\x81\x9f\xff\"}");
  ASSERT_TRUE(utf8);
  EXPECT_EQ(utf8.Get(u"n").AsString(), u"K\u00c3\u00bcche");
  EXPECT_EQ(utf8.Get(u"e").AsString(), u"\u20ac\u0081\u0178\u00ff");
  // Escapes give their code unit whatever the code page.
  EXPECT_EQ(ParseJsonCodePage("\"\\u00fc\\u20AC\"").AsString(), u"\u00fc\u20ac");
  // A bare word and an unquoted name with high bytes.
  JsonValue bare = ParseJsonCodePage("{na\x80me: w\xe4rd}");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare.Get(u"na\u20acme").AsString(), u"w\u00e4rd");
}

TEST(JsonReaderTest, ServerReplies) {
  JsonValue reply = ParseJsonCodePage(
      "{\"jsonrpc\":\"2.0\",\"result\":{\"ParentID\":0,\"ObjectID\":12345,\"ObjectType\":2,"
      "\"ObjectIdent\":\"\",\"ObjectName\":\"Temperatur\",\"ObjectInfo\":\"\",\"ObjectIcon\":\"\","
      "\"ObjectSummary\":\"\",\"ObjectPosition\":0,\"ObjectIsReadOnly\":false,"
      "\"ObjectIsHidden\":false,\"ObjectIsDisabled\":false,\"ObjectIsLocked\":false,"
      "\"HasChildren\":false,\"ChildrenIDs\":[]},\"id\":1}");
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply.Get(u"error"));
  JsonValue result = reply.Get(u"result");
  ASSERT_TRUE(result);
  EXPECT_EQ(result.AsObject()->Count(), 15u);
  EXPECT_EQ(result.Get(u"ObjectID").AsInteger(), 12345);
  EXPECT_EQ(result.Get(u"ObjectName").AsString(), u"Temperatur");
  EXPECT_EQ(result.Get(u"ChildrenIDs").AsString(), u"[]");

  JsonValue error = ParseJsonCodePage(
      "{\"jsonrpc\":\"2.0\",\"error\":{\"code\":-32603,\"message\":\"Object #1 does not exist\"},"
      "\"id\":1}");
  ASSERT_TRUE(error);
  EXPECT_EQ(error.Get(u"error").Get(u"message").AsString(), u"Object #1 does not exist");
  EXPECT_EQ(error.Get(u"error").Get(u"code").AsInteger(), -32603);
}

// Long texts outgrow the buffers that short ones fit in: a string of a few MiB (read into memory
// that its value takes over), a long name and a long bare word, whole and in the pieces a
// socket hands over.
TEST(JsonReaderTest, LongTexts) {
  std::string text;
  std::u16string expected;
  for (std::size_t i = 0; text.size() < 3 * 1024 * 1024; ++i) {
    if (i % 1000 == 999) {
      text += "\\n";
      expected += u'\n';
    } else if (i % 777 == 0) {
      text += "\xc3\xbc";
      expected += u"\u00c3\u00bc";
    } else {
      text += 'x';
      expected += u'x';
    }
  }
  const std::string name(2000, 'n');
  const std::string bytes =
      "{\"" + name + "\":\"" + text + "\",\"w\":[" + std::string(5000, 'w') + " \r\n]}";
  for (const JsonValue& value : {ParseJsonCodePage(bytes), ReadInSteps(bytes, 16 * 1024)}) {
    ASSERT_TRUE(value);
    EXPECT_EQ(value.AsObject()->Count(), 2u);
    EXPECT_TRUE(value.Get(std::u16string(name.begin(), name.end())).AsString() == expected);
    EXPECT_EQ(value.Get(u"w").AsArray()->Get(0).AsString(), std::u16string(5000, u'w'));
  }
}

// The records of a list usually share their names in the same order; each object still gets
// its members in member order, whatever order its text gives them, and a repeated name keeps
// its later value.
TEST(JsonReaderTest, ListsOfRecords) {
  std::vector<std::string> records;
  for (int i = 0; i < 3000; ++i)
    records.push_back("{\"VariableID\":" + std::to_string(i) + ",\"VariableValue\":" +
                      std::to_string(i % 7) + ".5,\"Name\":\"n" + std::to_string(i) + "\"}");
  records.push_back(R"({"Name":"other order","VariableID":-1,"VariableValue":true})");
  records.push_back(R"({"VariableID":1,"VariableID":2})");
  records.push_back(R"({"VariableID":3,"VariableValue":4})");
  std::string bytes = "[";
  for (const std::string& record : records) bytes += record + ",";
  bytes.back() = ']';
  const std::int64_t before = LiveValueCount();
  for (const JsonValue& list : {ParseJsonCodePage(bytes), ReadInSteps(bytes, 1000)}) {
    ASSERT_TRUE(list);
    ASSERT_EQ(list.AsArray()->Length(), records.size());
    for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{2999}, std::size_t{3000},
                          std::size_t{3001}, std::size_t{3002}}) {
      const std::string& record = records[i];
      EXPECT_EQ(list.AsArray()->Get(i).AsJson(),
                ParseJson(std::u16string(record.begin(), record.end())).AsJson())
          << record;
    }
    EXPECT_EQ(list.AsArray()->Get(3001).AsString(), u"{\"VariableID\":2}");
  }
  EXPECT_EQ(LiveValueCount(), before);
}

// More names than a parse keeps to look up again, and names that only differ late.
TEST(JsonReaderTest, ObjectsWithManyNames) {
  std::string bytes = "{";
  for (int i = 0; i < 6000; ++i)
    bytes +=
        "\"" + std::string(i % 50, '_') + "k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  bytes.back() = '}';
  const JsonValue object = ParseJsonCodePage(bytes);
  ASSERT_TRUE(object);
  ASSERT_EQ(object.AsObject()->Count(), 6000u);
  for (int i = 0; i < 6000; ++i) {
    const std::string name = std::string(i % 50, '_') + "k" + std::to_string(i);
    ASSERT_EQ(object.Get(std::u16string(name.begin(), name.end())).AsInteger(), i) << name;
  }
}

}  // namespace
}  // namespace velmar::json
