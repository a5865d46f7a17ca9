#pragma once

#include <string>

namespace velmar::sim {

// Whether an Authorization header carries Basic credentials `username`:`password`. Both
// empty: no credentials are required, and every request passes.
bool CredentialsMatch(const std::string& authorization, const std::string& username,
                      const std::string& password);

}  // namespace velmar::sim
