#include "access/password.h"

#include <sodium.h>

#include "core/error.h"

namespace velmar::access {

void Wipe(void* data, std::size_t size) {
  if (data != nullptr && size > 0) sodium_memzero(data, size);
}

void InitializeSodium() {
  if (sodium_init() < 0) throw Error("The password library (libsodium) could not start");
}

std::string HashPassword(std::string_view password, HashCost cost) {
  InitializeSodium();
  const bool minimal = cost == HashCost::Minimal;
  const unsigned long long ops =
      minimal ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  const std::size_t mem = minimal ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  char out[crypto_pwhash_STRBYTES] = {};
  if (crypto_pwhash_str_alg(out, password.data(), password.size(), ops, mem,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    throw Error("Cannot compute the password hash: out of memory");
  }
  return out;
}

bool VerifyPassword(const std::string& hash, std::string_view password) {
  InitializeSodium();
  if (!IsArgon2idHash(hash)) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool IsArgon2idHash(std::string_view hash) {
  static constexpr std::string_view kPrefix = "$argon2id$";
  if (hash.size() >= crypto_pwhash_STRBYTES || hash.substr(0, kPrefix.size()) != kPrefix) {
    return false;
  }
  for (const char c : hash) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) return false;
  }
  InitializeSodium();
  // Decodes the string's parameters, salt and hash; -1 when they do not decode.
  const std::string text(hash);
  return crypto_pwhash_argon2id_str_needs_rehash(text.c_str(), crypto_pwhash_OPSLIMIT_MIN,
                                                 crypto_pwhash_MEMLIMIT_MIN) != -1;
}

}  // namespace velmar::access
