#pragma once

#include <stdexcept>
#include <string>

namespace velmar {

// The failure raised wherever an operation cannot complete. It carries a message meant
// for a person; nothing else is thrown across module borders.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace velmar
