#include "platform/posix/system_root.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <mutex>

namespace quoril::platform {

namespace {

// A relative QUORIL_ROOT is taken against the current directory of the first call that
// sees it, so that the server's own change of directory (to DefaultDirectory) does not
// move the registry and the event log away from under it.
std::string ResolvedRoot() {
  static std::mutex mutex;
  static std::string seen;      // QUORIL_ROOT as last read
  static std::string resolved;  // and as an absolute path
  const char* value = std::getenv("QUORIL_ROOT");
  std::string root = (value != nullptr && *value != '\0') ? value : "/";
  std::lock_guard<std::mutex> guard(mutex);
  if (resolved.empty() || root != seen) {
    seen = root;
    resolved = root;
    std::array<char, 4096> current{};
    if (root.front() != '/' && ::getcwd(current.data(), current.size()) != nullptr) {
      resolved = std::string(current.data()) + '/' + root;
    }
  }
  return resolved;
}

}  // namespace

std::string SystemRootPath(const char* relative) {
  std::string path = ResolvedRoot();
  while (relative != nullptr && *relative == '/') ++relative;
  if (path.back() != '/') path += '/';
  if (relative != nullptr) path += relative;
  return path;
}

}  // namespace quoril::platform
