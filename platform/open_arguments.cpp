// The argument checks every backend's File::Open makes first.
#include <cstring>

#include "platform/files.h"

namespace quoril::platform {

Win32Error CheckOpenArguments(const char* path, std::uint32_t access, std::uint32_t share,
                              std::uint32_t disposition) {
  if (path == nullptr || disposition < kCreateNew || disposition > kTruncateExisting) {
    return ERROR_INVALID_PARAMETER;
  }
  // CreateFileA("") names no file at all.
  if (*path == '\0') return ERROR_PATH_NOT_FOUND;
  if ((access & (kGenericRead | kGenericWrite)) == 0 ||
      (access & ~(kGenericRead | kGenericWrite)) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if ((share & ~(kShareRead | kShareWrite | kShareDelete)) != 0) return ERROR_INVALID_PARAMETER;
  if (disposition == kTruncateExisting && !(access & kGenericWrite)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (std::strlen(path) >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
