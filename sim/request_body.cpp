#include "sim/request_body.h"

#include <stdexcept>

namespace velmar::sim {

namespace {

// The deepest nesting of arrays and objects accepted in a request.
constexpr int kMaxNesting = 256;

}  // namespace

ParsedBody parseBody(const std::string& body) {
  ParsedBody parsed;
  try {
    // Nesting is bounded: writing a value back (the echoed id) recurses once per level.
    parsed.request = Json::parse(body, [](int depth, Json::parse_event_t, Json&) {
      if (depth > kMaxNesting) throw std::length_error("nested too deeply");
      return true;
    });
  } catch (const Json::parse_error&) {
    return {};
  } catch (const std::length_error&) {
    return {};
  }
  if (parsed.request->is_object()) {
    auto m = parsed.request->find("method");
    if (m != parsed.request->end() && m->is_string()) parsed.method = m->get<std::string>();
    auto i = parsed.request->find("id");
    if (i != parsed.request->end()) parsed.id = *i;
    auto p = parsed.request->find("params");
    if (p != parsed.request->end() && p->is_array() && !p->empty() &&
        p->front().is_number_integer())
      parsed.firstParam = p->front().get<std::int64_t>();
  }
  return parsed;
}

}  // namespace velmar::sim
