// The executable's string table (LoadStringA) and ANSI lower-casing.
#pragma once

#include <cstdint>
#include <span>

namespace quoril::platform {

// LoadStringA: copies the text of `id` into `buffer`, cut to buffer.size() - 1 characters
// and terminated; answers the number of characters copied, 0 when there is no such string
// (the buffer then holds an empty text).
int LoadString(std::uint32_t id, std::span<char> buffer);

// CharLowerBuffA on the ANSI code page: only the bytes 'A' to 'Z' change.
void LowerCaseAscii(std::span<char> text);

}  // namespace quoril::platform
