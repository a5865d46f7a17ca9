#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/tree.h"

namespace velmar::sim {

// A request body as parsed once: the request (none when the body is not JSON), and the method
// and id it names, so that a body that is not JSON still meets the faults set for every method.
struct ParsedBody {
  std::optional<Json> request;
  std::optional<std::int64_t> firstParam;  // when the first parameter is an integer
  std::string method;
  Json id = nullptr;
};

ParsedBody parseBody(const std::string& body);

}  // namespace velmar::sim
