#include "shell/json_output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "json/reader.h"
#include "json/writer.h"

namespace velmar::shell {
namespace {

// A reply as the transport reads it: one character per byte, so that raw UTF-8 from the
// server still needs its repair.
json::JsonValue Reply(const std::string& text) {
  return json::ParseJsonCodePage(text);
}

TEST(JsonOutput, ServerValuesKeepTheirTypeAndStringsAreRepaired) {
  const struct {
    std::string reply;
    std::u16string_view document;
  } cases[] = {
      {"21.5", u"21.5"},
      {"20.400000000000002", u"20.4"},
      {"-3", u"-3"},
      {"true", u"true"},
      {"null", u"null"},
      {"\"K\xc3\xbc"
       "che\"",
       u"\"K\u00fcche\""},
      {"\"K\\u00fcche\"", u"\"K\u00fcche\""},  // sent as an escape: kept
      {"[\"\xc3\xa4\",{\"\xc3\xb6\":\"\xc3\xbc\"}]", u"[\"\u00e4\",{\"\u00f6\":\"\u00fc\"}]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json::AsJsonDocument(ServerValue(Reply(c.reply))), c.document) << c.reply;
  }
  EXPECT_EQ(json::AsJsonDocument(ServerValue(json::JsonValue())), u"null");
}

TEST(JsonOutput, TimesAreLocalWithTheirOffsetAndZeroIsNever) {
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  EXPECT_EQ(JsonTime(1796994192).AsString(), u"2026-12-11T14:03:12+01:00");
  EXPECT_EQ(JsonTime(Reply("1796994192.7")).AsString(), u"2026-12-11T14:03:13+01:00");
  EXPECT_TRUE(JsonTime(0).IsNull());
  EXPECT_TRUE(JsonTime(json::JsonValue()).IsNull());
  ::unsetenv("TZ");
  ::tzset();
}

TEST(JsonOutput, TheOptionIsTakenOutOfTheCommandLine) {
  EXPECT_EQ(TakeJsonOption(u"ls 12345 -json").commandline, u"ls 12345");
  EXPECT_TRUE(TakeJsonOption(u"ls -JSON").requested);
  const JsonOption none = TakeJsonOption(u"ls \"-json\"");
  EXPECT_FALSE(none.requested);
  EXPECT_EQ(none.commandline, u"ls \"-json\"");
}

}  // namespace
}  // namespace velmar::shell
