#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
#include "shell/object_argument.h"

namespace velmar::shell {
namespace {

TEST(ReadWholeNumber, FormsThatAreObjectIDs) {
  struct Case {
    std::u16string text;
    std::int32_t value;
  };
  const Case cases[] = {
      {u"0", 0},
      {u"12345", 12345},
      {u"+7", 7},
      {u"-7", -7},
      {u"$1F", 31},
      {u"$1f", 31},
      {u"x10", 16},
      {u"X10", 16},
      {u"0x10", 16},
      {u"0X1a", 26},
      {u"-$10", -16},
      {u"+0x10", 16},
      {u"2024", 2024},
      {u"007", 7},
      {u"2147483647", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"$7FFFFFFF", 2147483647},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(IsWholeNumber(c.text));
    EXPECT_EQ(ReadWholeNumber(c.text), c.value);
  }
}

TEST(ReadWholeNumber, TextsThatAreNames) {
  for (const std::u16string text : {u"", u"+", u"-", u"$", u"x", u"0x", u"12a", u"1 2", u" 1",
                                    u"1.5", u"Lights", u"$1G", u"--1", u"0x$1", u"١٢"}) {
    EXPECT_FALSE(IsWholeNumber(text));
    EXPECT_EQ(ReadWholeNumber(text), std::nullopt);
  }
}

TEST(ReadWholeNumber, OutOfRangeFails) {
  for (const std::u16string text :
       {u"2147483648", u"-2147483649", u"$80000000", u"$FFFFFFFF", u"99999999999999999999"}) {
    EXPECT_TRUE(IsWholeNumber(text));
    EXPECT_THROW(ReadWholeNumber(text), Error);
  }
}

TEST(TextAfterArgument, WhatFollowsTheArgumentUntrimmed) {
  struct Case {
    std::u16string command;
    std::u16string rest;
  };
  const Case cases[] = {
      {u"set 12345 42", u" 42"},
      {u"set  e   hello world ", u"   hello world "},
      {u"set \"Living temp\" 21", u" 21"},
      {u"set \"Living temp\"21", u"21"},
      {u"set \"t\" \"quoted\"", u" \"quoted\""},
      {u"set t", u""},
      {u"set t ", u""},
      {u"set", u""},
      {u"set \"unclosed 5", u""},
      {u"run 12345 -w", u" -w"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextAfterArgument(c.command), c.rest);
  }
}

TEST(ResolveObjectArgument, NumbersNeedNoLookupAndNamesGoToTheServerWhole) {
  std::u16string seenName;
  std::int32_t seenParent = -1;
  NameLookup lookup = [&](std::u16string_view name, std::int32_t parent) {
    seenName = name;
    seenParent = parent;
    if (name == u"K\u00fcche") return 23456;
    if (name == u"\u0141azienka \U0001F600") return 34567;
    throw Error("Object with name could not be found");
  };
  EXPECT_EQ(ResolveObjectArgument(u"$10", 5, lookup), 16);
  EXPECT_EQ(seenParent, -1);
  EXPECT_EQ(ResolveObjectArgument(u"K\u00fcche", 12345, lookup), 23456);
  EXPECT_EQ(seenParent, 12345);
  EXPECT_EQ(ResolveObjectArgument(u"\u0141azienka \U0001F600", 0, lookup), 34567);
  EXPECT_EQ(ResolveObjectArgument(u"Nowhere", 0, lookup), std::nullopt);
  EXPECT_EQ(ResolveObjectArgument(u"", 0, lookup), std::nullopt);
  EXPECT_EQ(seenName, u"");
}

}  // namespace
}  // namespace velmar::shell
