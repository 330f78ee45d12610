#include "platform/posix/system_root.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

namespace quoril::platform {

namespace {

// QUORIL_ROOT as last read and as an absolute path. Never destroyed: a transfer thread may
// report an event while the process ends.
struct RootState {
  std::mutex mutex;
  std::string seen;
  std::string resolved;
};

RootState& Root() {
  alignas(RootState) static unsigned char storage[sizeof(RootState)];
  static RootState* const state = ::new (storage) RootState();
  return *state;
}

// A relative QUORIL_ROOT is taken against the current directory of the first call that
// sees it, so that the server's own change of directory (to DefaultDirectory) does not
// move the registry and the event log away from under it.
std::string ResolvedRoot() {
  const char* value = std::getenv("QUORIL_ROOT");
  std::string root = (value != nullptr && *value != '\0') ? value : "/";
  RootState& state = Root();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.resolved.empty() || root != state.seen) {
    state.seen = root;
    state.resolved = root;
    std::array<char, 4096> current{};
    if (root.front() != '/' && ::getcwd(current.data(), current.size()) != nullptr) {
      state.resolved = std::string(current.data()) + '/' + root;
    }
  }
  return state.resolved;
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
