#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "shell/set_value.h"

namespace velmar::shell {
namespace {

TEST(ConvertFloat, RegionalSeparatorOnly) {
  struct Case {
    std::u16string text;
    std::u16string separator;
    std::optional<double> value;
  };
  const Case cases[] = {
      {u"21.5", u".", 21.5},
      {u"21,5", u",", 21.5},
      {u"21,5", u".", std::nullopt},
      {u"21.5", u",", std::nullopt},
      {u"-3", u".", -3.0},
      {u"+0.25", u".", 0.25},
      {u".5", u".", 0.5},
      {u"5.", u".", 5.0},
      {u"1e3", u".", 1000.0},
      {u"1,5E-2", u",", 0.015},
      {u"2E+2", u".", 200.0},
      {u"0", u".", 0.0},
      {u"", u".", std::nullopt},
      {u".", u".", std::nullopt},
      {u"1.2.3", u".", std::nullopt},
      {u"1e", u".", std::nullopt},
      {u"e5", u".", std::nullopt},
      {u"1 000", u".", std::nullopt},
      {u" 1", u".", std::nullopt},
      {u"1e999", u".", std::nullopt},
      {u"inf", u".", std::nullopt},
      {u"nan", u".", std::nullopt},
      {u"0x10", u".", std::nullopt},
      {u"--1", u".", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConvertFloat(c.text, c.separator), c.value)
        << std::string(c.text.begin(), c.text.end());
  }
}

TEST(ConvertBoolean, NumbersAndWords) {
  struct Case {
    std::u16string text;
    std::optional<bool> value;
  };
  const Case cases[] = {
      {u"true", true},     {u"TRUE", true},        {u"True", true},          {u"1", true},
      {u"2,5", true},      {u"-1", true},          {u"false", false},        {u"FaLsE", false},
      {u"0", false},       {u"0,0", false},        {u"yes", std::nullopt},   {u"on", std::nullopt},
      {u"", std::nullopt}, {u"2.5", std::nullopt}, {u"true ", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConvertBoolean(c.text, u","), c.value) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(ConvertInteger, WholeNumbersInThirtyTwoBits) {
  EXPECT_EQ(ConvertInteger(u"42"), 42);
  EXPECT_EQ(ConvertInteger(u"-7"), -7);
  EXPECT_EQ(ConvertInteger(u"$1F"), 31);
  EXPECT_EQ(ConvertInteger(u"0x1f"), 31);
  EXPECT_EQ(ConvertInteger(u"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ConvertInteger(u"4.5"), std::nullopt);
  EXPECT_EQ(ConvertInteger(u"2147483648"), std::nullopt);
  EXPECT_EQ(ConvertInteger(u""), std::nullopt);
  EXPECT_EQ(ConvertInteger(u"1e3"), std::nullopt);
}

}  // namespace
}  // namespace velmar::shell
