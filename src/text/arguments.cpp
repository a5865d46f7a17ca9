#include "text/arguments.h"

#include <algorithm>
#include <cstddef>
#include <numeric>

#include "core/error.h"
#include "text/encoding.h"

namespace velmar::text {

namespace {

bool IsBlank(char16_t c) {
  return c <= 32;
}

bool IsAscending(std::u16string_view direction) {
  constexpr std::u16string_view kAsc = u"ASC";
  if (direction.size() != kAsc.size()) return false;
  for (std::size_t i = 0; i < kAsc.size(); ++i) {
    char16_t c = direction[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != kAsc[i]) return false;
  }
  return true;
}

// The sort key of a line: from just after the first indicator (or from the start when there
// is none) up to the next space; empty when no space follows.
std::u16string_view SortKey(std::u16string_view line, char16_t indicator) {
  const std::size_t marker = line.find(indicator);
  const std::size_t start = marker == std::u16string_view::npos ? 0 : marker + 1;
  const std::size_t space = line.find(u' ', start);
  if (space == std::u16string_view::npos) return {};
  return line.substr(start, space - start);
}

// Orders `order` (indices into the lines) by `keys`, stably: lines with equal keys keep the
// order they came in.
template <typename Key>
void StableOrder(std::vector<std::size_t>& order, const std::vector<Key>& keys, bool ascending) {
  if (ascending) {
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  } else {
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return keys[b] < keys[a]; });
  }
}

}  // namespace

std::u16string Trim(std::u16string_view value) {
  std::size_t first = 0;
  std::size_t last = value.size();
  while (first < last && IsBlank(value[first])) ++first;
  while (last > first && IsBlank(value[last - 1])) --last;
  return std::u16string(value.substr(first, last - first));
}

std::u16string UpperCase(std::u16string_view value) {
  std::u16string upper(value);
  for (char16_t& c : upper) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
  }
  return upper;
}

std::u16string IntToStr(std::int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::optional<std::int32_t> TryStrToInt(std::u16string_view value) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < value.size() && (value[pos] == u'+' || value[pos] == u'-')) {
    negative = value[pos] == u'-';
    ++pos;
  }
  if (pos == value.size()) return std::nullopt;
  // Accumulate as a negative number so that the most negative 32-bit value fits too.
  constexpr std::int64_t kMin = -2147483648LL;
  std::int64_t result = 0;
  for (; pos < value.size(); ++pos) {
    const char16_t c = value[pos];
    if (c < u'0' || c > u'9') return std::nullopt;
    result = result * 10 - (c - u'0');
    if (result < kMin) return std::nullopt;
  }
  if (!negative) {
    result = -result;
    if (result > 2147483647LL) return std::nullopt;
  }
  return static_cast<std::int32_t>(result);
}

std::int32_t StrToInt(std::u16string_view value) {
  if (const auto number = TryStrToInt(value)) return *number;
  throw Error("'" + Utf16ToUtf8(value) + "' is not a valid integer value");
}

std::u16string GetObjectFromCommandline(std::u16string_view command) {
  const std::size_t space = command.find(u' ');
  if (space == std::u16string_view::npos) return {};
  const std::u16string argument = Trim(command.substr(space + 1));
  if (argument.empty()) return {};
  const std::u16string_view view = argument;
  if (view.front() == u'"') {
    const std::size_t closing = view.find(u'"', 1);
    if (closing == std::u16string_view::npos) return {};
    return Trim(view.substr(1, closing - 1));
  }
  const std::size_t blank = view.find(u' ');
  if (blank != std::u16string_view::npos) return Trim(view.substr(0, blank));
  return argument;
}

std::optional<std::u16string> TakeOptionWord(std::u16string_view command,
                                             std::u16string_view option) {
  std::u16string rest;
  bool found = false;
  bool quoted = false;
  std::size_t kept = 0;  // the text up to here is kept
  std::size_t wordStart = 0;
  bool firstWord = true;
  for (std::size_t i = 0; i <= command.size(); ++i) {
    const bool end = i == command.size() || (!quoted && IsBlank(command[i]));
    if (i < command.size() && command[i] == u'"') quoted = !quoted;
    if (!end) continue;
    if (i > wordStart) {
      const std::u16string_view word = command.substr(wordStart, i - wordStart);
      if (!firstWord && UpperCase(word) == UpperCase(option)) {
        // The blanks before the word go with it.
        std::size_t from = wordStart;
        while (from > kept && IsBlank(command[from - 1])) --from;
        rest.append(command.substr(kept, from - kept));
        kept = i;
        found = true;
      }
      firstWord = false;
    }
    wordStart = i + 1;
  }
  if (!found) return std::nullopt;
  rest.append(command.substr(kept));
  return rest;
}

std::vector<std::u16string> explode(std::u16string_view text, char16_t sep, bool trim,
                                    bool quotes) {
  std::vector<std::u16string> pieces;
  std::u16string piece;
  bool quoteOpen = false;
  for (const char16_t c : text) {
    if (c == sep && !(quotes && quoteOpen)) {
      if (trim) piece = Trim(piece);
      if (!piece.empty() && piece.front() == sep) piece.erase(0, 1);
      pieces.push_back(std::move(piece));
      piece.clear();
    }
    if (quotes) {
      if (c == u'"') {
        quoteOpen = !quoteOpen;
      } else if (c != sep || quoteOpen) {
        piece.push_back(c);
      }
    } else if (c != sep) {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) pieces.push_back(trim ? Trim(piece) : std::move(piece));
  return pieces;
}

void SortByCopyStr(std::vector<std::u16string>& lines, char16_t indicator,
                   std::u16string_view direction, bool numericCompare) {
  const bool ascending = IsAscending(direction);
  if (lines.size() >= 2) {
    std::vector<std::size_t> order(lines.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (numericCompare) {
      // Every key is converted before anything moves: a bad key fails with the list untouched.
      std::vector<std::int32_t> keys;
      keys.reserve(lines.size());
      for (const std::u16string& line : lines) keys.push_back(StrToInt(SortKey(line, indicator)));
      StableOrder(order, keys, ascending);
    } else {
      // std::u16string_view compares code unit by code unit, a prefix first.
      std::vector<std::u16string_view> keys;
      keys.reserve(lines.size());
      for (const std::u16string& line : lines) keys.push_back(SortKey(line, indicator));
      StableOrder(order, keys, ascending);
    }
    std::vector<std::u16string> sorted;
    sorted.reserve(lines.size());
    for (const std::size_t index : order) sorted.push_back(std::move(lines[index]));
    lines = std::move(sorted);
  }
  for (std::u16string& line : lines) std::erase(line, indicator);
}

}  // namespace velmar::text
