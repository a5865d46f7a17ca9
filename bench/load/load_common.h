// What every part of velmar-load shares: the command mix, the prompt, the clock and the way
// out on failure.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace velmar::load {

using Clock = std::chrono::steady_clock;

// The category of the demo home with more than a hundred children, and one of its variables.
inline const std::string kCategoryName = "Energie Tageswerte";
inline const std::vector<std::string> kMix = {"cd \"" + kCategoryName + "\"", "ls", "show 37881",
                                              "cd .."};
inline constexpr std::size_t kLsIndex = 1;
// Every prompt ends with '>' and the colour reset.
inline const std::string kPromptEnd = ">\x1b[0m";

[[noreturn]] inline void fail(const std::string& message) {
  std::fprintf(stderr, "velmar-load: %s\n", message.c_str());
  std::exit(1);
}

inline double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace velmar::load
