#include "sim/credentials.h"

namespace velmar::sim {

namespace {

std::string decodeBase64(const std::string& in) {
  std::string out;
  int buffer = 0, bits = 0;
  for (unsigned char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return {};
    buffer = (buffer << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace

bool CredentialsMatch(const std::string& authorization, const std::string& username,
                      const std::string& password) {
  if (username.empty() && password.empty()) return true;
  const std::string prefix = "Basic ";
  if (authorization.compare(0, prefix.size(), prefix) != 0) return false;
  return decodeBase64(authorization.substr(prefix.size())) == username + ":" + password;
}

}  // namespace velmar::sim
