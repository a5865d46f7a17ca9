#include <gtest/gtest.h>

#include <string>

#include "shell/list.h"

namespace velmar::shell {
namespace {

using text::ConsoleColor;

TEST(FormatObjectType, BracketsColoursAndFill) {
  EXPECT_EQ(formatObjectType(u"Integer", false, ConsoleColor::ccBlue),
            u" \x1b[34;1mInteger\x1b[0m    ");
  EXPECT_EQ(formatObjectType(u"Instance", true, ConsoleColor::ccWhite),
            u"<\x1b[37;1mInstance\x1b[0m>  ");
  EXPECT_EQ(formatObjectType(u"Link", true, ConsoleColor::ccNone), u"<Link>      ");
  EXPECT_EQ(formatObjectType(u"Script", false, ConsoleColor::ccRed),
            u" \x1b[31mScript\x1b[0m     ");
  // Words of ten characters or more get no fill.
  EXPECT_EQ(formatObjectType(u"0123456789", false, ConsoleColor::ccNone), u" 0123456789 ");
  EXPECT_EQ(formatObjectType(u"Configurator", true, ConsoleColor::ccNone), u"<Configurator>");
}

// Kinds a selection lists, as letters: V S M C E L D I O P F (variable, script, media,
// category, event, link, device, I/O, core, splitter, configurator).
std::string Kinds(const ListSelection& s) {
  std::string kinds;
  const std::pair<bool, char> flags[] = {
      {s.ListVariable, 'V'}, {s.ListScript, 'S'},   {s.ListMedia, 'M'},       {s.ListCategory, 'C'},
      {s.ListEvent, 'E'},    {s.ListLink, 'L'},     {s.ListDevice, 'D'},      {s.ListIO, 'I'},
      {s.ListCore, 'O'},     {s.ListSplitter, 'P'}, {s.ListConfigurator, 'F'}};
  for (const auto& [on, letter] : flags) {
    if (on) kinds += letter;
  }
  return kinds;
}

TEST(ParseListOptions, SubstringsOfTheUpperCasedLine) {
  struct Case {
    std::u16string command;
    std::string kinds;
  };
  const Case cases[] = {
      {u"ls", "VSMCELD"},          {u"ls -x", "VSMCELD"},
      {u"ls Lights", "VSMCELD"},   {u"ls -v", "V"},
      {u"ls -v -s", "VS"},         {u"ls -vs", "V"},  // no blank before the S
      {u"LIST -Media", "M"},       {u"ls -io", "I"},
      {u"ls -device", "D"},  // " -D" alone is no option
      {u"ls -core", "CO"},         {u"ls -splitter", "SP"},
      {u"ls -configurator", "CF"}, {u"ls -scripts", "S"},
      {u"ls -categories", "C"},    {u"ls -e -l", "EL"},
      {u"ls Lights -v", "V"},      {u"ls-v", "VSMCELD"},  // not preceded by a blank
  };
  for (const auto& c : cases) {
    const ListSelection s = ParseListOptions(c.command);
    EXPECT_EQ(Kinds(s), c.kinds) << std::string(c.command.begin(), c.command.end());
    EXPECT_EQ(s.IsDefault, c.kinds == "VSMCELD");
  }
}

}  // namespace
}  // namespace velmar::shell
