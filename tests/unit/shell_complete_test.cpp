#include "shell/complete.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/command_table.h"

namespace velmar::shell {
namespace {

using Names = std::vector<std::u16string>;

TEST(CompleteCommandLine, CommandWordsThenChildNames) {
  const Names children = {u"Keller", u"K\u00fcche", u"Licht \"Flur\"", u"Wohn zimmer",
                          u"\u00dcbersicht"};
  const struct {
    std::u16string before;
    std::size_t start;
    Names candidates;
  } cases[] = {
      {u"l", 0, {u"list", u"logout", u"ls"}},
      {u"LO", 0, {u"LOGOUT"}},
      {u"  se", 2, {u"set", u"setvalue"}},
      {u"e", 0, {u"exec", u"execute", u"exit"}},
      {u"cd", 0, {u"cd"}},
      {u"zz", 0, {}},
      {u"cd ", 3, {u"Keller", u"K\u00fcche", u"\"Wohn zimmer\"", u"\u00dcbersicht"}},
      {u"cd k\u00dc", 3, {u"K\u00fcche"}},
      {u"ls w", 3, {u"\"Wohn zimmer\""}},
      {u"show \"wohn", 5, {u"\"Wohn zimmer\""}},
      {u"set \"Wohn zimmer\" \u00fc", 18, {u"\u00dcbersicht"}},
  };
  // Every word of the shell, as a guest who may run everything has them.
  Names words(telnet::kExitWords.begin(), telnet::kExitWords.end());
  for (const auto& row : CommandTable())
    words.insert(words.end(), row.words.begin(), row.words.end());
  for (const auto& c : cases) {
    int asked = 0;
    const auto result = CompleteCommandLine(c.before, words, [&] {
      ++asked;
      return children;
    });
    EXPECT_EQ(result.start, c.start);
    EXPECT_EQ(result.candidates, c.candidates);
    // The server is asked only for names.
    EXPECT_EQ(asked, c.before.find(u' ', c.before.find_first_not_of(u' ')) == std::u16string::npos
                         ? 0
                         : 1);
  }
}

}  // namespace
}  // namespace velmar::shell
