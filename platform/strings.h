// The executable's string table (LoadStringA) and ASCII case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quoril::platform {

// LoadStringA: copies the text of `id` into `buffer`, cut to buffer.size() - 1 characters
// and terminated; answers the number of characters copied, 0 when there is no such string
// (the buffer then holds an empty text).
int LoadString(std::uint32_t id, std::span<char> buffer);

// Paths and names change in 'A' to 'Z' alone. Not CharLowerBuffA: on an ANSI code page such
// as 1252 it also lowers the accented capitals (0xC0 to 0xDE).
constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline void LowerCaseAscii(std::span<char> text) {
  for (char& c : text) c = LowerAscii(c);
}
constexpr bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace quoril::platform
