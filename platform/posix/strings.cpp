#include "platform/strings.h"

#include <cstddef>
#include <cstring>

#include "resources/string_table.h"

namespace quoril::platform {

int LoadString(std::uint32_t id, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  for (std::size_t i = 0; i < kStringTableSize; ++i) {
    if (kStringTable[i].id != id) continue;
    const char* text = kStringTable[i].text;
    std::size_t length = std::strlen(text);
    // Cut to what the buffer holds with its terminator, as LoadStringA does.
    if (length > buffer.size() - 1) length = buffer.size() - 1;
    std::memcpy(buffer.data(), text, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
  }
  buffer[0] = '\0';
  return 0;
}

}  // namespace quoril::platform
