// Password hashes (Argon2id through libsodium) and buffers for secrets that are wiped when
// they are freed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace velmar::access {

// Zeroes `size` bytes at `data` in a way the compiler does not drop.
void Wipe(void* data, std::size_t size);

// An allocator that zeroes every block before it gives it back, so that a string growing
// through reallocations leaves no copy of a secret in freed memory.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) {
    Wipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const {
    return true;
  }
};

// A string for a secret: its heap blocks are wiped when freed, and its own storage (short
// strings live inside the object) when it is destroyed or cleared with wipe().
template <class CharT>
class BasicSecret {
 public:
  using String = std::basic_string<CharT, std::char_traits<CharT>, WipingAllocator<CharT>>;
  BasicSecret() = default;
  BasicSecret(const BasicSecret&) = delete;
  BasicSecret& operator=(const BasicSecret&) = delete;
  ~BasicSecret() { wipe(); }

  String& str() { return value_; }
  const String& str() const { return value_; }
  std::basic_string_view<CharT> view() const { return {value_.data(), value_.size()}; }

  void wipe() {
    Wipe(value_.data(), value_.capacity() * sizeof(CharT));
    value_.clear();
  }

 private:
  String value_;
};

using Secret = BasicSecret<char>;
using Secret16 = BasicSecret<char16_t>;

// Makes libsodium ready; raises velmar::Error when it cannot start. Safe to call repeatedly.
void InitializeSodium();

// How costly a new hash is to compute and so to guess.
enum class HashCost {
  Interactive,  // libsodium's interactive limits (64 MiB, 2 passes): what velmar-passwd makes
  Minimal,      // the least libsodium accepts; for tests only
};

// A new Argon2id hash string of `password` with a random salt. Raises velmar::Error on
// failure (out of memory).
std::string HashPassword(std::string_view password, HashCost cost = HashCost::Interactive);

// Whether `password` matches `hash` (crypto_pwhash_str_verify). False for a malformed hash.
bool VerifyPassword(const std::string& hash, std::string_view password);

// Whether `hash` is a well-formed Argon2id hash string that libsodium can verify against.
bool IsArgon2idHash(std::string_view hash);

}  // namespace velmar::access
