// Reading the tree file: the failure that names the offending object, and a reader of one
// JSON object's members that refuses unknown keys. Shared by the tree and the archive parts.
#pragma once

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "sim/tree.h"

namespace velmar::sim {

[[noreturn]] inline void fail(const std::string& where, const std::string& what) {
  throw std::runtime_error("tree: " + where + ": " + what);
}

// Reads the members of `source` into fields through a table of setters; an unknown key is an
// error, so that a misspelt key in a hand-written tree does not go unnoticed.
class Reader {
 public:
  Reader(std::string where, const Json& source) : where_(std::move(where)), source_(source) {
    if (!source_.is_object()) fail(where_, "expected a JSON object");
  }
  void text(const char* key, std::string& out) {
    if (const Json* v = take(key)) {
      if (!v->is_string()) fail(where_, std::string("\"") + key + "\" must be a string");
      out = v->get<std::string>();
    }
  }
  void flag(const char* key, bool& out) {
    if (const Json* v = take(key)) {
      if (!v->is_boolean()) fail(where_, std::string("\"") + key + "\" must be true or false");
      out = v->get<bool>();
    }
  }
  template <typename Int>
  void integer(const char* key, Int& out) {
    if (const Json* v = take(key)) {
      if (!v->is_number_integer()) fail(where_, std::string("\"") + key + "\" must be an integer");
      out = v->get<Int>();
    }
  }
  void number(const char* key, double& out) {
    if (const Json* v = take(key)) {
      if (!v->is_number()) fail(where_, std::string("\"") + key + "\" must be a number");
      out = v->get<double>();
    }
  }
  // Unix seconds; a negative number counts back from `now`.
  void time(const char* key, int64_t& out, int64_t now) {
    integer(key, out);
    if (out < 0) out += now;
  }
  const Json* take(const char* key) {
    seen_.insert(key);
    auto it = source_.find(key);
    return it == source_.end() ? nullptr : &*it;
  }
  void finish() const {
    for (const auto& item : source_.items())
      if (!seen_.count(item.key())) fail(where_, "unknown key \"" + item.key() + "\"");
  }
  const std::string& where() const { return where_; }

 private:
  std::string where_;
  const Json& source_;
  std::set<std::string> seen_;
};

}  // namespace velmar::sim
