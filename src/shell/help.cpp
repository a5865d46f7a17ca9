#include "shell/help.h"

#include <algorithm>
#include <deque>

#include "text/arguments.h"
#include "text/colors.h"
#include "text/console_layout.h"

#ifndef VELMAR_HOMEPAGE_URL
#error "VELMAR_HOMEPAGE_URL comes from the build (src/shell/module.cmake)"
#endif

namespace velmar::shell {

namespace {

using text::ConsoleColor;

std::u16string separator(std::int32_t width) {
  return text::Colorize(std::u16string(static_cast<std::size_t>(std::max(width - 2, 0)), u'-'),
                        ConsoleColor::ccWhite);
}

std::u16string blue(std::u16string_view name) {
  return text::Colorize(name, ConsoleColor::ccBlue);
}

// The fixed part of a command's page: separator, heading, syntax, synonyms, separator.
std::vector<std::u16string> header(std::u16string_view heading, std::u16string_view name,
                                   std::u16string_view syntax, std::u16string_view synonyms,
                                   std::int32_t width) {
  return {separator(width), std::u16string(heading) + blue(name),
          u"Syntax: " + std::u16string(syntax), u"Synonyms: " + std::u16string(synonyms),
          separator(width)};
}

std::vector<std::u16string> page(std::vector<std::u16string> lines,
                                 std::initializer_list<std::u16string> body) {
  lines.insert(lines.end(), body);
  return lines;
}

std::vector<std::u16string> runPage(std::int32_t width) {
  return page(
      header(u"Command: ", u"RUN", u"RUN ID|name [-w]", u"EXEC, EXECUTE", width),
      {u"Use \"run\" to start a script. You may use the Script ID or the scriptname. If the name "
       u"contains blank spaces you will need to put the whole name in quotes. Script names are "
       u"case sensitive! When using the wait (-w or -wait) parameter, the script echos will be "
       u"prompted to the console. IDs will work global while names will only work when you are "
       u"located in the correct directory.",
       u"", u"Example: run \"My beautifull testscript\" -w"});
}

std::vector<std::u16string> listPage(std::int32_t width) {
  return page(
      header(u"Command ", u"LS", u"LS ID|name [Options]", u"LIST, DIR", width),
      {u"Will show you the content of your active IPS category. You may use the ID or the name. "
       u"If the name contains blank spaces you will need to put the whole name in quotes. Names "
       u"are case sensitive! You can choose from several options and combine them in any "
       u"combination. Available are:",
       u"", u"-v, -variables:\t\t show variables", u"-s, -scripts:\t\t show scripts",
       u"-m, -media:\t\t show media", u"-c, -categories:\t show categories",
       u"-e, -events:\t\t show events", u"-l, -links:\t\t show links",
       u"-device:\t\t shows IPS devices", u"-io:\t\t\t shows IO Devices",
       u"-splitter:\t\t shows splitters", u"-configurator:\t\t shows configurators", u"",
       u"See also: " + blue(u"SHOW"), u"", u"Example: ls -v -s -category"});
}

std::vector<std::u16string> cdPage(std::int32_t width) {
  return page(header(u"Command ", u"CD", u"CD ID|name|..", u"-", width),
              {u"You can use \"cd\" to navigate through your IPS categories. The parameter \"..\" "
               u"brings you one level back, and \"\\\" or \"0\" takes you to the root category. "
               u"You always can use the category names and IDs. If the name contains blank "
               u"spaces you will need to put the whole name in quotes. Names are case sensitive! "
               u"IDs will work global while names will only work when you are located in the "
               u"correct directory."});
}

std::vector<std::u16string> showPage(std::int32_t width) {
  return page(header(u"Command ", u"SHOW", u"SHOW ID|name", u"-", width),
              {u"Will give you closer informations on the object of your choice. You always can "
               u"use the category names and IDs. If the name contains blank spaces you will "
               u"need to put the whole name in quotes. Names are case sensitive! IDs will work "
               u"global while names will only work when you are located in the correct "
               u"directory.",
               u"", u"See also: " + blue(u"LIST"), u"", u"Example: show \"My perfect variable\""});
}

std::vector<std::u16string> findPage(std::int32_t width) {
  return page(header(u"Command ", u"FIND", u"FIND pattern [Options]", u"-", width),
              {u"Will scan objectnames for specified pattern to find an ID. If pattern contains "
               u"blank spaces you need to quote this parameter. Available options are:",
               u"", u"-w, -word:\t\t Find only when pattern matches a single word",
               u"-i, -ignorecase:\t Ignore case sensivity", u"",
               u"Example: find Testscript -word -ignorecase"});
}

std::vector<std::u16string> setValuePage(std::int32_t width) {
  return page(header(u"Command ", u"SETVALUE", u"SETVALUE ID|name value", u"SET", width),
              {u"Will set given value to given variable. You can use ID or name to specify the "
               u"variable. If the name contains blank spaces you will need to put the whole name "
               u"in quotes. Names are case sensitive! IDs will work global while names will only "
               u"work when you are located in the correct directory.",
               u"", u"Example: setValue 12345 true"});
}

std::vector<std::u16string> exitPage(std::int32_t width) {
  return page(header(u"Command ", u"EXIT", u"EXIT", u"LOGOUT, BYE", width),
              {u"You are kidding, right? Guess what \"exit\" does. ;)"});
}

std::vector<std::u16string> uptimePage(std::int32_t width) {
  return page(header(u"Command ", u"UPTIME", u"UPTIME", u"-", width),
              {u"provides IP-Symcon, Velmar and Velmar servers uptime in human readable format."});
}

std::vector<std::u16string> pingPage(std::int32_t width) {
  return page(header(u"Command ", u"PING", u"PING IP/host", u"-", width),
              {u"classic ping function for debugging purposes."});
}

std::vector<std::u16string> whoPage(std::int32_t width) {
  return page(header(u"Command ", u"WHO", u"WHO", u"-", width),
              {u"Lists the open sessions: the user, the address the session comes from, since "
               u"when it is open and the category it is in. Only users of level 10 may use it.",
               u"", u"Example: who"});
}

std::vector<std::u16string> historyPage(std::int32_t width) {
  return page(
      header(u"Command ", u"HISTORY",
             u"HISTORY ID|name [SPAN] [-from DATE] [-to DATE] [-list] [-json]", u"-", width),
      {u"Shows what the archive of IP-Symcon logged for a variable: numbers as a chart as wide as "
       u"your console, with the minimum, maximum, mean and last value beneath; counters as bars of "
       u"their use per hour, day or month; on/off values as a band with the share of time on; "
       u"texts as a table, newest last. A value holds until it changes, and a gap in the log "
       u"stays a gap. SPAN is 1h, 24h (the default), 7d, 30d or 1y up to now, or any number of "
       u"hours, days, weeks or years (12h, 2w). -from and -to give the start and the end as "
       u"dates, in your regional format or as ISO 8601; a date with a time is put in quotes. "
       u"With a span, -from starts it and -to ends it. Ctrl+C stops a long read.",
       u"", u"-list:\t\t\t a table of every logged value, newest last",
       u"-json:\t\t\t one JSON document for scripts", u"", u"See also: " + blue(u"SHOW"), u"",
       u"Example: history Temperatur 7d"});
}

std::vector<std::u16string> watchPage(std::int32_t width) {
  return page(
      header(u"Command ", u"WATCH", u"WATCH ID|name [-i SECONDS] [-n COUNT] [-json]", u"-", width),
      {u"Shows the values of a variable, or of the variables in a category or instance (at most "
       u"200), as they change. The values are asked for every SECONDS (-i, from 0.2 to 3600, "
       u"default 1). On a terminal a table is redrawn in place and a changed value is "
       u"highlighted for one round; elsewhere one line per variable comes first and then one "
       u"line per change. -n COUNT ends after COUNT changes, -json writes one JSON object per "
       u"line. Ctrl+C ends watching.",
       u"", u"See also: " + blue(u"SHOW"), u"", u"Example: watch \"Energie Tageswerte\" -i 5"});
}

std::vector<std::u16string> treePage(std::int32_t width) {
  return page(header(u"Command ", u"TREE", u"TREE [ID|name] [-depth N] [-json]", u"-", width),
              {u"Draws the objects below a category the way tree draws a directory: each with its "
               u"ID and name, links with their target, children in the order ls lists them. "
               u"Without an argument it starts at your active category. -depth N (1 to 50, "
               u"default 3) says how many levels are shown; at most 5000 lines are drawn. -json "
               u"writes the tree as one JSON document.",
               u"", u"See also: " + blue(u"LIST"), u"", u"Example: tree Erdgeschoss -depth 2"});
}

// The command names of the overview with the lowest level that may use each.
struct OverviewEntry {
  std::u16string_view name;
  int level;
};
constexpr OverviewEntry kOverviewCommands[] = {
    {u"run", 5},     {u"list", 1},   {u"cd", 1},   {u"show", 1}, {u"set", 5},
    {u"find", 1},    {u"uptime", 1}, {u"ping", 5}, {u"who", 10}, {u"exit", 1},
    {u"history", 1}, {u"watch", 1},  {u"tree", 1},
};

// Without a login every command but who; with one, those of the user's level.
std::u16string commandList(int level) {
  std::u16string list;
  for (const auto& entry : kOverviewCommands) {
    const bool shown = level == 0 ? entry.name != u"who" : entry.level <= level;
    if (!shown) continue;
    if (!list.empty()) list += u", ";
    list += entry.name;
  }
  return list;
}

std::vector<std::u16string> overview(std::int32_t width, int level) {
  return {separator(width),
          u"  Velmar help overview:",
          separator(width),
          u"Your commands are: ",
          commandList(level),
          u"",
          u"type \"help exit\" for example to get further information on this command. Visit "
          u"" VELMAR_HOMEPAGE_URL u" for details and the newest version of Velmar."};
}

struct Topic {
  std::vector<std::u16string_view> words;
  std::vector<std::u16string> (*page)(std::int32_t width);
};

const Topic kTopics[] = {
    {{u"RUN", u"EXEC", u"EXECUTE"}, runPage},
    {{u"LS", u"LIST", u"DIR"}, listPage},
    {{u"CD"}, cdPage},
    {{u"SHOW"}, showPage},
    {{u"FIND"}, findPage},
    {{u"SETVALUE", u"SET"}, setValuePage},
    {{u"EXIT"}, exitPage},
    {{u"UPTIME"}, uptimePage},
    {{u"PING"}, pingPage},
    {{u"WHO"}, whoPage},
    {{u"HISTORY"}, historyPage},
    {{u"WATCH"}, watchPage},
    {{u"TREE"}, treePage},
};

// Removes blanks and control characters from both ends but keeps an ESC: a word that
// starts with a colour sequence must keep it when a coloured line is wrapped, or the
// sequence would show as text ("[34;1mRUN").
std::u16string trimKeepingColours(std::u16string_view value) {
  auto blank = [](char16_t c) { return c <= 32 && c != 27; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  return std::u16string(value);
}

std::int32_t visibleLength(std::u16string_view line) {
  return static_cast<std::int32_t>(line.size()) - text::CountHiddenChars(line);
}

}  // namespace

std::vector<std::u16string> HelpPage(std::u16string_view command, std::int32_t width, int level) {
  const auto space = command.find(u' ');
  std::u16string topic(space == std::u16string_view::npos ? command : command.substr(space + 1));
  for (auto& c : topic) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  topic = text::Trim(topic);
  for (const auto& entry : kTopics) {
    if (entry.page == whoPage && level == 0) continue;  // no who without a login
    if (std::find(entry.words.begin(), entry.words.end(), topic) != entry.words.end()) {
      return entry.page(width);
    }
  }
  return overview(width, level);
}

std::vector<std::u16string> WrapHelpLines(const std::vector<std::u16string>& lines,
                                          std::int32_t width) {
  std::vector<std::u16string> out;
  for (const auto& line : lines) {
    if (visibleLength(line) <= width) {
      out.push_back(line);
      continue;
    }
    std::deque<std::u16string> words;
    for (const auto& piece : text::explode(line, u' ', false, false)) {
      words.push_back(trimKeepingColours(piece));
    }
    // The visible length of the line being filled is kept as it grows, so that the layout costs
    // one pass over each paragraph whatever the width.
    std::u16string newLine;
    std::int32_t newLineLength = 0;
    while (!words.empty()) {
      const std::u16string& word = words.front();
      const std::int32_t wordLength = visibleLength(word);
      if (wordLength + newLineLength + 1 < width) {
        newLine += word;
        newLine += u' ';
        newLineLength += wordLength + 1;
        words.pop_front();
      } else if (!newLine.empty()) {
        out.push_back(trimKeepingColours(newLine));
        newLine.clear();
        newLineLength = 0;
      } else {
        out.push_back(word);  // longer than any line: stands alone, unsplit
        words.pop_front();
      }
    }
    if (!newLine.empty()) out.push_back(trimKeepingColours(newLine));
  }
  return out;
}

void help(telnet::Session& session, const std::u16string& command) {
  const std::int32_t width = session.ConsoleChars();
  const int level = session.user.empty() ? 0 : session.userlevel;
  for (const auto& line : WrapHelpLines(HelpPage(command, width, level), width)) {
    session.WriteLn(line);
  }
}

telnet::Command HelpCommand() {
  return {{u"HELP"}, help};
}

}  // namespace velmar::shell
