#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <variant>

#include "json/reader.h"
#include "platform/regional.h"
#include "shell/tree.h"
#include "shell/watch.h"
#include "shell/watch_view.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

std::string Narrow(std::u16string_view text) {
  return text::Utf16ToUtf8(text);
}

TEST(WatchOptions, ArgumentFormsAndTheirMessages) {
  struct Case {
    std::u16string line;
    std::u16string target;  // or the message, when `error`
    double interval = 1;
    std::int64_t count = 0;  // 0: none
    bool json = false;
    bool error = false;
  };
  const Case cases[] = {
      {u"watch 12345", u"12345"},
      {u"watch \"Energie Tageswerte\" -i 0.5", u"Energie Tageswerte", 0.5},
      {u"WATCH -I 0,2 -N 3 Temperatur -JSON", u"Temperatur", 0.2, 3, true},
      {u"watch 12345 -i 3600 -n 1", u"12345", 3600, 1},
      {u"watch \"-i\"", u"-i"},  // quoted: a name
      {u"watch -12", u"-12"},    // a number: an ID (not found later), no option
      {u"watch", u"Usage: watch ID|name [-i SECONDS] [-n COUNT] [-json]", 1, 0, false, true},
      {u"watch -n 2", u"Usage: watch ID|name [-i SECONDS] [-n COUNT] [-json]", 1, 0, false, true},
      {u"watch 1 -i", u"Not an interval from 0.2 to 3600 seconds: \"\"", 1, 0, false, true},
      {u"watch 1 -i 0.1", u"Not an interval from 0.2 to 3600 seconds: \"0.1\"", 1, 0, false, true},
      {u"watch 1 -i 3601", u"Not an interval from 0.2 to 3600 seconds: \"3601\"", 1, 0, false,
       true},
      {u"watch 1 -i 1e3", u"Not an interval from 0.2 to 3600 seconds: \"1e3\"", 1, 0, false, true},
      {u"watch 1 -i .5", u"Not an interval from 0.2 to 3600 seconds: \".5\"", 1, 0, false, true},
      {u"watch 1 -n 0", u"Not a count of changes from 1 on: \"0\"", 1, 0, false, true},
      {u"watch 1 -n x", u"Not a count of changes from 1 on: \"x\"", 1, 0, false, true},
      {u"watch 1 -x", u"Unknown option: -x", 1, 0, false, true},
      {u"watch 1 2", u"Unexpected argument: 2", 1, 0, false, true},
      {u"watch \"Living room", u"The closing quote is missing.", 1, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    const auto parsed = ParseWatchOptions(c.line);
    if (c.error) {
      ASSERT_TRUE(std::holds_alternative<std::u16string>(parsed));
      EXPECT_EQ(Narrow(std::get<std::u16string>(parsed)), Narrow(c.target));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<WatchOptions>(parsed)) << Narrow(std::get<1>(parsed));
    const WatchOptions& options = std::get<WatchOptions>(parsed);
    EXPECT_EQ(Narrow(options.target), Narrow(c.target));
    EXPECT_DOUBLE_EQ(options.intervalSeconds, c.interval);
    EXPECT_EQ(options.count.value_or(0), c.count);
    EXPECT_EQ(options.json, c.json);
  }
}

TEST(TreeOptions, ArgumentFormsAndTheirMessages) {
  struct Case {
    std::u16string line;
    std::u16string target;  // or the message, when `error`
    std::int32_t depth = kDefaultTreeDepth;
    bool json = false;
    bool error = false;
  };
  const Case cases[] = {
      {u"tree", u""},
      {u"tree ..", u".."},
      {u"tree \"Living room\" -depth 1", u"Living room", 1},
      {u"TREE -DEPTH 50 -json 0", u"0", 50, true},
      {u"tree -depth 0", u"Not a depth from 1 to 50: \"0\"", 3, false, true},
      {u"tree -depth 51", u"Not a depth from 1 to 50: \"51\"", 3, false, true},
      {u"tree -depth", u"Not a depth from 1 to 50: \"\"", 3, false, true},
      {u"tree -d 2", u"Unknown option: -d", 3, false, true},
      {u"tree a b", u"Unexpected argument: b", 3, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.line));
    const auto parsed = ParseTreeOptions(c.line);
    if (c.error) {
      ASSERT_TRUE(std::holds_alternative<std::u16string>(parsed));
      EXPECT_EQ(Narrow(std::get<std::u16string>(parsed)), Narrow(c.target));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<TreeOptions>(parsed)) << Narrow(std::get<1>(parsed));
    const TreeOptions& options = std::get<TreeOptions>(parsed);
    EXPECT_EQ(Narrow(options.target), Narrow(c.target));
    EXPECT_EQ(options.depth, c.depth);
    EXPECT_EQ(options.json, c.json);
  }
}

// A change is a different value: a new time stamp alone is none, and the value before it is
// kept for the change line.
TEST(WatchRecords, AChangeIsADifferentValue) {
  const auto record = [](const char* value, int changed) {
    return json::ParseJsonCodePage(std::string("{\"VariableType\":3,\"VariableValue\":") + value +
                                   ",\"VariableChanged\":" + std::to_string(changed) + "}");
  };
  Watched w;
  EXPECT_FALSE(TakeRecord(w, record("\"a\\u001bb\"", 100)));  // the first record
  EXPECT_EQ(Narrow(w.shown),
            "\"a\xef\xbf\xbd"
            "b\"");  // inert, in quotes as ls shows it
  EXPECT_FALSE(TakeRecord(w, record("\"a\\u001bb\"", 200)));
  EXPECT_EQ(w.changed, 200);
  EXPECT_FALSE(w.highlighted);
  EXPECT_TRUE(TakeRecord(w, record("\"K\xc3\xa4se\"", 300)));
  EXPECT_TRUE(w.highlighted);
  EXPECT_EQ(Narrow(w.shown), "\"K\xc3\xa4se\"");
  EXPECT_EQ(Narrow(w.previousShown),
            "\"a\xef\xbf\xbd"
            "b\"");
  EXPECT_FALSE(TakeRecord(w, record("\"K\xc3\xa4se\"", 300)));
  EXPECT_FALSE(w.highlighted);  // for one round only
}

TEST(WatchRecords, IntervalsAsTheStatusLineSaysThem) {
  platform::OverrideRegionalSettings(platform::RegionalSettings{"%d.%m.%Y", "%H:%M:%S", ",", ""});
  EXPECT_EQ(Narrow(IntervalText(1)), "1 s");
  EXPECT_EQ(Narrow(IntervalText(0.25)), "0,25 s");
  EXPECT_EQ(Narrow(IntervalText(3600)), "3600 s");
  EXPECT_EQ(Narrow(RoundText(12.345)), "12,3 ms");
  platform::OverrideRegionalSettings(std::nullopt);
  EXPECT_EQ(Narrow(IntervalText(0.5)), "0.5 s");
}

// The window's toolkit sets the user's locale for the whole process; a decimal comma there must
// not change how intervals are read or shown.
TEST(WatchRecords, DecimalsReadAndWrittenWhateverTheProcessLocale) {
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8";
  const auto parsed = ParseWatchOptions(u"watch 1 -i 0.5");
  const double interval = std::holds_alternative<WatchOptions>(parsed)
                              ? std::get<WatchOptions>(parsed).intervalSeconds
                              : 0;
  const std::string shown = Narrow(IntervalText(0.25)) + " " + Narrow(RoundText(1.5));
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_DOUBLE_EQ(interval, 0.5);
  EXPECT_EQ(shown, "0.25 s 1.5 ms");
}

}  // namespace
}  // namespace velmar::shell
