#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/html.h"

namespace velmar::text {
namespace {

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (const char16_t c : text) out += c < 128 ? static_cast<char>(c) : '#';
  return out;
}

TEST(GiveSZ, MapsTableEntriesExactlyAndEverythingElseToSpace) {
  struct Case {
    std::u16string entity;
    char16_t expected;
  };
  const std::vector<Case> cases = {
      {u"&quot;", u'"'},
      {u"&amp;", u'&'},
      {u"&shy;", u'*'},
      {u"&iexl;", 161},
      {u"&cent;", 162},
      {u"&brkbar;", 166},
      {u"&not;", 172},
      {u"&reg;", 174},
      {u"&hibar;", 175},
      {u"&deg;", 176},
      {u"&iquest;", 191},
      {u"&Agrave;", 192},
      {u"&AEling;", 198},
      {u"&Ecirce;", 202},
      {u"&Icirce;", 206},
      {u"&ETH;", 208},
      {u"&times;", 215},
      {u"&THORN;", 222},
      {u"&szlig;", 223},
      {u"&aeling;", 230},
      {u"&eth;", 240},
      {u"&divide;", 247},
      {u"&uacude;", 250},
      {u"&thorn;", 254},
      {u"&yuml;", 255},
      {u"&lt;", u'<'},
      {u"&gt;", u'>'},
      {u"&apos;", u'\''},
      {u"&nbsp;", u' '},
      // The usual names of the odd entries, and entities the table lacks.
      {u"&iexcl;", u' '},
      {u"&brvbar;", u' '},
      {u"&macr;", u' '},
      {u"&AElig;", u' '},
      {u"&Ecirc;", u' '},
      {u"&Icirc;", u' '},
      {u"&aelig;", u' '},
      {u"&uacute;", u' '},
      {u"&NBSP;", u' '},
      {u"&LT;", u' '},
      {u"&#65;", u' '},  // numeric references are not in the table
      {u"&AUML;", u' '},
      {u"&auml", u' '},
      {u"", u' '},
      {u"&", u' '},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(GiveSZ(c.entity)), static_cast<int>(c.expected)) << Narrow(c.entity);
  }
}

TEST(GiveSZ, CoversLatin1From161To255WithoutSoftHyphen) {
  // Every name, in code order, each giving the next Latin-1 character (173 skipped).
  const std::vector<std::u16string> names = {
      u"iexl",   u"cent",   u"pound",  u"curren", u"yen",    u"brkbar", u"sect",   u"uml",
      u"copy",   u"ordf",   u"laquo",  u"not",    u"reg",    u"hibar",  u"deg",    u"plusmn",
      u"sup2",   u"sup3",   u"acute",  u"micro",  u"para",   u"middot", u"cedil",  u"sup1",
      u"ordm",   u"raquo",  u"frac14", u"frac12", u"frac34", u"iquest", u"Agrave", u"Aacute",
      u"Acirc",  u"Atilde", u"Auml",   u"Aring",  u"AEling", u"Ccedil", u"Egrave", u"Eacute",
      u"Ecirce", u"Euml",   u"Igrave", u"Iacute", u"Icirce", u"Iuml",   u"ETH",    u"Ntilde",
      u"Ograve", u"Oacute", u"Ocirc",  u"Otilde", u"Ouml",   u"times",  u"Oslash", u"Ugrave",
      u"Uacute", u"Ucirc",  u"Uuml",   u"Yacute", u"THORN",  u"szlig",  u"agrave", u"aacute",
      u"acirc",  u"atilde", u"auml",   u"aring",  u"aeling", u"ccedil", u"egrave", u"eacute",
      u"ecirc",  u"euml",   u"igrave", u"iacute", u"icirc",  u"iuml",   u"eth",    u"ntilde",
      u"ograve", u"oacute", u"ocirc",  u"otilde", u"ouml",   u"divide", u"oslash", u"ugrave",
      u"uacude", u"ucirc",  u"uuml",   u"yacute", u"thorn",  u"yuml",
  };
  ASSERT_EQ(names.size(), 94u);
  int code = 161;
  for (const std::u16string& name : names) {
    EXPECT_EQ(static_cast<int>(GiveSZ(u"&" + name + u";")), code) << Narrow(name);
    code = code == 172 ? 174 : code + 1;
  }
  EXPECT_EQ(code, 256);
}

TEST(ReplaceHTMLChar, ReplacesCandidatesUpToEightCharacters) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"&Auml;rger", u"\u00c4rger"},
      {u"&auml;", u"\u00e4"},
      {u"&AUML;", u" "},
      {u"&uacute;", u" "},
      {u"&uacude;", u"\u00fa"},
      {u"&amp;amp;", u"&"},
      {u"&amp;lt;", u"<"},
      {u"&amp;quot;", u"\""},
      {u"Tom & Jerry; Bob", u"Tom   Bob"},
      {u"&x y;", u" "},
      {u"R&D", u"R&D"},
      {u"&thetasym;", u"&thetasym;"},
      {u"&frac14;", u"\u00bc"},           // 8 characters: still a candidate
      {u"&abcdefg;", u"&abcdefg;"},       // 9 characters: left alone
      {u"a & b &deg;", u"a & b \u00b0"},  // the last "&" before ";" starts the candidate
      {u"&&&amp;", u"&&&"},
      {u"&;", u" "},
      {u"x;y&", u"x;y&"},
      // A candidate that is too long does not stop later entities.
      {u"&thetasym; &deg;C", u"&thetasym; \u00b0C"},
      {u"&eacute;t&eacute;", u"\u00e9t\u00e9"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceHTMLChar(c.text), c.expected) << Narrow(c.text);
  }
}

TEST(Html2Txt, StripsTagsTrimsAndDropsEmptyLines) {
  struct Case {
    std::u16string html;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"<b>Temp:</b> 21 &deg;C", u"Temp: 21 \u00b0C\r\n"},
      {u"a<br>b", u"ab\r\n"},
      {u"a\n<br>\nb", u"a\r\nb\r\n"},
      {u"   \n<p></p>\r\n\t\t\r  ", u""},
      {u"x &lt; y", u"x < y\r\n"},
      {u"1 > 0", u"1 > 0\r\n"},
      {u"1 < 2", u"1\r\n"},
      {u"<a <b>c>d", u"c>d\r\n"},  // "<" inside a tag is plain, ">" outside is kept
      {u"line1\r\nline2\rline3\n\nline4", u"line1\r\nline2\r\nline3\r\nline4\r\n"},
      {u"  indented  \n", u"indented\r\n"},
      // Entities are replaced before tags go, so &quot; inside a tag is dropped with it.
      {u"<a href=&quot;x&quot;>link</a>", u"link\r\n"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Html2Txt(c.html), c.expected) << Narrow(c.html);
  }
}

TEST(ReplaceHTMLChar, NumericReferencesGiveAnyCharacter) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"K&#252;che", u"K\u00fcche"},
      {u"&#228;&#xE4;&#XE4;", u"\u00e4\u00e4\u00e4"},
      {u"&#x20AC; 5", u"\u20ac 5"},
      {u"&#322;&#x0416;&#937;", u"\u0142\u0416\u03a9"},
      {u"&#128512;!", u"\U0001F600!"},  // 9 characters, above U+FFFF: a surrogate pair
      {u"&#x1F600;", u"\U0001F600"},
      {u"&#x10FFFF;", u"\U0010FFFF"},
      {u"&#38;amp;", u"&"},  // a produced "&" starts the next candidate, as with &amp;
      // Control characters become blanks; no such character, or no number: a blank too.
      {u"a&#27;[31mb", u"a [31mb"},
      {u"a&#x9B;b", u"a b"},
      {u"&#xD800;", u" "},
      {u"&#;", u" "},
      {u"&#x;", u" "},
      {u"&#12a;", u" "},
      // Longer than 8 characters and no numeric reference to a character: left alone.
      {u"&#00000065;", u"&#00000065;"},
      {u"&#1234567;", u"&#1234567;"},
      {u"&#x110000;", u"&#x110000;"},
      {u"&abcdefgh;", u"&abcdefgh;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceHTMLChar(c.text), c.expected) << Narrow(c.text);
  }
}

TEST(Html2Txt, EscapedAngleBracketsAreTextAndBlocksEndLines) {
  struct Case {
    std::u16string html;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"Status: &lt;OK&gt;", u"Status: <OK>\r\n"},
      {u"&#60;b&#62;bold&#x3C;/b&#x3E;", u"<b>bold</b>\r\n"},
      {u"it&apos;s&nbsp;5&nbsp;&deg;C", u"it's 5 \u00b0C\r\n"},
      {u"<h1>Wetter</h1><p>Heute sonnig</p><p>Morgen Regen</p>",
       u"Wetter\r\nHeute sonnig\r\nMorgen Regen\r\n"},
      {u"<table><tr><td>K\u00fcche</td><td>21,5 &deg;C</td></tr>"
       u"<tr><th>B\u00fcro</th><td>19 &deg;C</td></tr></table>",
       u"K\u00fcche 21,5 \u00b0C\r\nB\u00fcro 19 \u00b0C\r\n"},
      {u"<ul><li>eins</li><li>zwei</LI ></ul>after", u"eins\r\nzwei\r\nafter\r\n"},
      {u"<div>a</div><div>b</div >c</H6>d</Ol>e</ol", u"a\r\nb\r\nc\r\nd\r\ne\r\n"},
      // Only those closing tags: opening ones, <br> and look-alikes leave nothing.
      {u"a<p>b<br>c</pre>d</p2>e</tdx>f", u"abcdef\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Html2Txt(c.html), c.expected) << Narrow(c.html);
  }
}

TEST(Html2Txt, LargeInputIsHandledInOnePass) {
  // Many entities and tags: a quadratic replacement would take seconds here.
  std::u16string html;
  for (int i = 0; i < 50000; ++i) html += u"<td>&auml;&amp;amp;&nbsp;x</td>\n";
  const std::u16string text = Html2Txt(html);
  std::u16string line = u"\u00e4& x\r\n";
  ASSERT_EQ(text.size(), line.size() * 50000);
  EXPECT_EQ(text.substr(0, line.size()), line);
}

}  // namespace
}  // namespace velmar::text
