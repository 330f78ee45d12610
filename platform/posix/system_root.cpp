#include "platform/posix/system_root.h"

#include <cstdlib>

namespace quoril::platform {

std::string SystemRootPath(const char* relative) {
  const char* root = std::getenv("QUORIL_ROOT");
  std::string path = (root != nullptr && *root != '\0') ? root : "/";
  while (relative != nullptr && *relative == '/') ++relative;
  if (path.back() != '/') path += '/';
  if (relative != nullptr) path += relative;
  return path;
}

}  // namespace quoril::platform
