// The string table from the executable's own resources.
#include "platform/strings.h"

#include "platform/win32/windows_headers.h"

#include <algorithm>
#include <climits>

namespace quoril::platform {

int LoadString(std::uint32_t id, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  // A size of 0 would ask LoadStringA for a pointer into the resource instead of a copy.
  const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), INT_MAX));
  const int length = ::LoadStringA(::GetModuleHandleA(nullptr), id, buffer.data(), size);
  if (length <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  return length;
}

}  // namespace quoril::platform
