#pragma once

#include <string>
#include <string_view>

#include "api/ips_objects.h"
#include "telnet/session.h"
#include "text/colors.h"

namespace velmar::shell {

// Which kinds of objects a listing shows.
struct ListSelection {
  bool ListVariable = false;
  bool ListScript = false;
  bool ListMedia = false;
  bool ListCategory = false;
  bool ListEvent = false;
  bool ListLink = false;
  bool ListDevice = false;
  bool ListIO = false;
  bool ListCore = false;
  bool ListSplitter = false;
  bool ListConfigurator = false;
  // True when no option text was found and the default selection applies.
  bool IsDefault = false;
};

// The selection that the option texts in `command` ask for (" -V", " -SCRIPT", ...: each a
// plain substring of the upper-cased line, so " -S" also matches " -SPLITTER"); without any
// option, every kind except core, I/O, splitter and configurator instances.
ListSelection ParseListOptions(std::u16string_view command);

// The 12-column type label of a listing line: the word coloured (nothing for ccNone), in
// angle brackets when the object has children or in blanks otherwise, filled up with blanks
// to 10 characters of word.
std::u16string formatObjectType(std::u16string_view str, bool hasChildren,
                                text::ConsoleColor color);

// Whether `a` comes before `b` in a listing: by position, then by the first word of the
// name's first 18 characters (code unit by code unit, so upper case comes first). With a
// stable sort objects that tie keep the order the server gave them in.
bool ListedBefore(const api::IPSObject& a, const api::IPSObject& b);

// The listing command (ls, list, dir): one line per selected child of a category, ordered by
// position and then by name, under a heading with the category's ID and name. The category
// is the current one, or the one that the first argument names in any form that cd takes
// (an option word such as -v is no argument); the current category does not change. An
// argument that names no object writes "Object not found: " and the argument. Nothing is
// written when a server request fails; the failure leaves the command. With -json the
// category and its selected children are written as one document instead.
void List(telnet::Session& session, const std::u16string& command);

}  // namespace velmar::shell
