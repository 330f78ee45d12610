#include "platform/posix/system_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "platform/posix/error_mapping.h"
#include "platform/posix/unique_fd.h"

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

Win32Error MakeSystemDirectory(const char* relative, mode_t mode) {
  const std::string_view below(relative);
  for (std::size_t end = below.find('/');; end = below.find('/', end + 1)) {
    const std::string path = SystemRootPath(std::string(below.substr(0, end)).c_str());
    const mode_t wanted = end == std::string_view::npos ? mode : 0755;
    if (::mkdir(path.c_str(), wanted) == 0) {
      ::chmod(path.c_str(), wanted);
    } else if (errno != EEXIST) {
      return Win32ErrorFromErrno(errno, path.c_str());
    }
    if (end == std::string_view::npos) return ERROR_SUCCESS;
  }
}

int WriteFileInOneStep(const std::string& path, std::string_view text, mode_t mode, bool replace) {
  std::string temporary = path + ".XXXXXX";
  UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.Valid()) return errno;
  int error = 0;
  while (error == 0 && !text.empty()) {
    const ssize_t count = ::write(file.Get(), text.data(), text.size());
    if (count > 0) {
      text.remove_prefix(static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      error = count == 0 ? EIO : errno;
    }
  }
  // close()'s own verdict is the last word on the data written.
  if (error == 0 && (::fchmod(file.Get(), mode) != 0 || ::fsync(file.Get()) != 0 ||
                     ::close(file.Release()) != 0)) {
    error = errno;
  }
  // link() never replaces an existing file.
  if (error == 0 && (replace ? ::rename(temporary.c_str(), path.c_str())
                             : ::link(temporary.c_str(), path.c_str())) != 0) {
    error = errno;
  }
  if (error != 0 || !replace) ::unlink(temporary.c_str());
  if (error != 0) return error;
  // The new name itself reaches the disk with the directory.
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const UniqueFd held(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (held.Valid()) ::fsync(held.Get());
  return 0;
}

}  // namespace quoril::platform
