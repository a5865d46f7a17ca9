#pragma once

// Internal to the json module: Windows-1252, the code page of the server's texts, one byte to
// one UTF-16 code unit. The five bytes that the code page leaves undefined map to the control
// characters of the same value.

namespace velmar::json::detail {

extern const char16_t kCodePageHigh[32];  // bytes 0x80 to 0x9F
inline char16_t CodePageUnit(unsigned char byte) noexcept {
  return (byte & 0xE0) == 0x80 ? kCodePageHigh[byte - 0x80] : static_cast<char16_t>(byte);
}

}  // namespace velmar::json::detail
