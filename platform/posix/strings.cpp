#include "platform/strings.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "resources/string_table.h"

namespace quoril::platform {

int LoadString(std::uint32_t id, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  const auto* end = kStringTable + kStringTableSize;
  const auto* entry = std::find_if(kStringTable, end, [id](const auto& e) { return e.id == id; });
  // Cut to what the buffer holds with its terminator, as LoadStringA does.
  const std::size_t length =
      entry == end ? 0 : std::min(std::strlen(entry->text), buffer.size() - 1);
  if (length > 0) std::memcpy(buffer.data(), entry->text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // namespace quoril::platform
