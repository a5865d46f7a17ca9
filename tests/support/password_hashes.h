#pragma once

#include <map>
#include <mutex>
#include <string>

#include "access/password.h"

namespace velmar::testing {

// The cheapest Argon2id hash of `password`, made once per test program: every users file in a
// test can use it without paying for the hash again.
inline const std::string& HashOf(const std::string& password) {
  static std::mutex mutex;
  static std::map<std::string, std::string> hashes;
  std::lock_guard lock(mutex);
  auto& hash = hashes[password];
  if (hash.empty()) hash = access::HashPassword(password, access::HashCost::Minimal);
  return hash;
}

}  // namespace velmar::testing
