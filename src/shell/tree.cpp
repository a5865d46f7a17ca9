#include "shell/tree.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

#include "api/ips_objects.h"
#include "api/server_calls.h"
#include "shell/change_dir.h"
#include "shell/json_output.h"
#include "shell/list.h"
#include "shell/object_argument.h"
#include "shell/object_json.h"
#include "text/arguments.h"
#include "text/colors.h"
#include "text/inert.h"

namespace velmar::shell {

namespace {

using api::IPSObjectType;
using text::ConsoleColor;

// One object of the subtree.
struct Node {
  api::IPSObject record;
  std::optional<std::int32_t> linkTarget;
  bool expanded = false;              // its children were asked for
  std::vector<std::size_t> children;  // indexes into the node list, in listing order
};

// The record of `id` and, for a link, its target.
Node FetchNode(std::int32_t id) {
  Node node{api::IPSObject(api::IPS_GetObject(id)), std::nullopt, false, {}};
  if (node.record.ObjectType() == IPSObjectType::otLink)
    node.linkTarget = api::IPSLink(api::IPS_GetLink(node.record.ID())).Target();
  return node;
}

// The subtree below nodes[0], level by level down to `depth`, each level's requests in flight
// together. An object met a second time (a server whose tree runs in a circle) is left out.
// Stops after the level during which the user interrupted.
void Grow(telnet::Session& session, std::vector<Node>& nodes, std::int32_t depth) {
  std::unordered_set<std::int32_t> seen{nodes[0].record.ID()};
  std::vector<std::size_t> level{0};
  for (std::int32_t d = 0; d < depth && !level.empty(); ++d) {
    struct Wanted {
      std::size_t parent;
      std::int32_t id;
    };
    std::vector<Wanted> wanted;
    for (const std::size_t index : level) {
      nodes[index].expanded = true;
      for (const std::uint16_t id : nodes[index].record.Children()) {
        if (id != 0 && seen.insert(id).second) wanted.push_back({index, id});
      }
    }
    std::vector<std::optional<Node>> fetched(wanted.size());
    api::RunRequestsTogether(wanted.size(),
                             [&](std::size_t i) { fetched[i] = FetchNode(wanted[i].id); });
    std::vector<std::size_t> next;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      Node& parent = nodes[wanted[i].parent];
      if (fetched[i]->record.Parent() != parent.record.ID()) continue;
      parent.children.push_back(nodes.size());
      next.push_back(nodes.size());
      nodes.push_back(std::move(*fetched[i]));
    }
    for (const std::size_t index : level) {
      std::stable_sort(nodes[index].children.begin(), nodes[index].children.end(),
                       [&nodes](std::size_t a, std::size_t b) {
                         return ListedBefore(nodes[a].record, nodes[b].record);
                       });
    }
    level = std::move(next);
    // Reads what the client sent, so that Ctrl+C is seen between levels.
    session.delay(1);
    if (session.Interrupted()) return;
  }
}

ConsoleColor TypeColor(IPSObjectType type) {
  switch (type) {
    case IPSObjectType::otInstance:
      return ConsoleColor::ccWhite;
    case IPSObjectType::otVariable:
      return ConsoleColor::ccBlue;
    case IPSObjectType::otScript:
      return ConsoleColor::ccRed;
    default:
      return ConsoleColor::ccNone;
  }
}

std::u16string NodeText(const Node& node) {
  std::u16string name = text::Inert(node.record.Name());
  const ConsoleColor color = TypeColor(node.record.ObjectType());
  if (color != ConsoleColor::ccNone) name = text::Colorize(name, color);
  std::u16string line = text::IntToStr(node.record.ID()) + u" " + name;
  if (node.linkTarget) line += u" -> " + text::IntToStr(*node.linkTarget);
  return line;
}

// The lines below `index`, each behind the lead word WriteFormated drops, up to `limit`.
void DrawChildren(const std::vector<Node>& nodes, std::size_t index, const std::u16string& indent,
                  std::vector<std::u16string>& lines, std::size_t limit) {
  const auto& children = nodes[index].children;
  for (std::size_t i = 0; i < children.size() && lines.size() < limit; ++i) {
    const bool last = i + 1 == children.size();
    lines.push_back(u" " + indent + (last ? u"\u2514\u2500\u2500 " : u"\u251c\u2500\u2500 ") +
                    NodeText(nodes[children[i]]));
    DrawChildren(nodes, children[i], indent + (last ? u"    " : u"\u2502   "), lines, limit);
  }
}

json::JsonValue NodeJson(const std::vector<Node>& nodes, std::size_t index) {
  const Node& node = nodes[index];
  json::JsonValue object = ObjectJson(node.record);
  if (node.linkTarget) object.PutInt(u"target", *node.linkTarget);
  if (node.expanded) {
    json::JsonValue children = json::JsonValue::MakeArray();
    for (const std::size_t child : node.children) children.AsArray()->Add(NodeJson(nodes, child));
    object.Put(u"children", children);
  }
  return object;
}

// The object the tree starts at: the current category, or what `target` names (a link
// stands for its target); nothing after writing "Object not found: ".
std::optional<Node> RootNode(telnet::Session& session, const std::u16string& target) {
  if (target.empty()) return FetchNode(session.currentDir);
  const auto id = DestinationID(session, target);
  if (!id) return std::nullopt;
  Node node = FetchNode(*id);
  if (node.linkTarget) return FetchNode(*node.linkTarget);
  return node;
}

}  // namespace

std::variant<TreeOptions, std::u16string> ParseTreeOptions(std::u16string_view commandline) {
  const auto words = ArgumentWords(commandline);
  if (!words) return std::u16string(u"The closing quote is missing.");
  TreeOptions options;
  bool haveTarget = false;
  for (std::size_t i = 0; i < words->size(); ++i) {
    const ArgumentWord& word = (*words)[i];
    const std::u16string upper = word.quoted ? std::u16string() : text::UpperCase(word.text);
    if (upper == u"-DEPTH") {
      const std::u16string value = i + 1 < words->size() ? (*words)[++i].text : std::u16string();
      const auto depth = text::TryStrToInt(value);
      if (!depth || *depth < 1 || *depth > kMaxTreeDepth)
        return u"Not a depth from 1 to 50: \"" + value + u"\"";
      options.depth = *depth;
    } else if (upper == u"-JSON") {
      options.json = true;
    } else if (!word.quoted && !word.text.empty() && word.text.front() == u'-' &&
               !IsWholeNumber(word.text)) {
      return u"Unknown option: " + word.text;
    } else if (haveTarget) {
      return u"Unexpected argument: " + word.text;
    } else {
      options.target = word.text;
      haveTarget = true;
    }
  }
  return options;
}

void Tree(telnet::Session& session, const std::u16string& commandline) {
  auto parsed = ParseTreeOptions(commandline);
  if (const auto* message = std::get_if<std::u16string>(&parsed)) {
    session.Fail(*message);
    return;
  }
  const TreeOptions& options = std::get<TreeOptions>(parsed);
  auto root = RootNode(session, options.target);
  if (!root) return;
  std::vector<Node> nodes;
  nodes.push_back(std::move(*root));
  Grow(session, nodes, options.depth);
  if (options.json) {
    WriteJson(session, NodeJson(nodes, 0));
    return;
  }
  std::vector<std::u16string> lines{u" " + NodeText(nodes[0])};
  DrawChildren(nodes, 0, {}, lines, kMaxTreeLines);
  if (nodes.size() > lines.size()) {
    lines.push_back(u" \u2026 " +
                    text::IntToStr(static_cast<std::int64_t>(nodes.size() - lines.size())) +
                    u" more objects not shown");
  }
  session.WriteFormated(lines);
}

}  // namespace velmar::shell
