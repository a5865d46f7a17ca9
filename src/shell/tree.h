// The tree command: an object's subtree drawn as tree(1) draws a directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "telnet/session.h"

namespace velmar::shell {

inline constexpr std::int32_t kDefaultTreeDepth = 3;
inline constexpr std::int32_t kMaxTreeDepth = 50;
// Lines of objects drawn at most; a last line says how many more there are.
inline constexpr std::size_t kMaxTreeLines = 5000;

struct TreeOptions {
  std::u16string target;  // empty: the current category
  std::int32_t depth = kDefaultTreeDepth;
  bool json = false;
};

// The options of a tree command line ("tree Erdgeschoss -depth 2 -json"), in any order; a
// line that does not parse gives the message that says why.
std::variant<TreeOptions, std::u16string> ParseTreeOptions(std::u16string_view commandline);

// The tree command (level 1): the object (the current category, or one named as cd names it;
// a link stands for its target) and its descendants down to the depth, one line each with
// box-drawing characters, the ID and the name (coloured by type as ls colours it), links with
// their target, children in listing order. At most kMaxTreeLines lines, then "… N more
// objects not shown". Each level's requests are in flight together. With -json one nested
// document, without a line limit.
void Tree(telnet::Session& session, const std::u16string& commandline);

}  // namespace velmar::shell
