#include "platform/posix/full_path.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/files.h"
#include "platform/posix/error_mapping.h"

namespace quoril::platform {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Appends the components of `path` to `full`, which is "" (the root) or an absolute path
// without a trailing separator.
void AppendComponents(std::string_view path, std::string& full) {
  std::size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    std::size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view component = path.substr(pos, end - pos);
    pos = end;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      // At the root, '..' stays at the root.
      const std::size_t slash = full.rfind('/');
      full.resize(slash == std::string::npos ? 0 : slash);
      continue;
    }
    full += '/';
    full += component;
  }
}

// The current directory as SetCurrentDirectory formed it, with the directory it named held
// open: while the process's directory is still that one, this text is the current directory.
// A change by other means (chdir) or the directory's removal shows as a mismatch, and the
// kernel's answer stands. Nothing in it needs destroying: a thread still running at exit finds
// it intact.
struct SetDirectory {
  std::mutex mutex;
  std::array<char, kMaxPath> text{};
  std::size_t length = 0;
  int fd = -1;
  // The held directory's identity: held open, it cannot be reused for another directory.
  dev_t device = 0;
  ino_t inode = 0;
};
SetDirectory gSetDirectory;

// Into a string rather than a PATH_MAX buffer on the stack: every request forms its path, and
// a transfer thread's stack stays a page smaller.
Win32Error ReadCurrentDirectory(std::string& text) {
  {
    std::lock_guard<std::mutex> guard(gSetDirectory.mutex);
    // One look at the current directory tells both: it is the one set, and not removed.
    struct stat here {};
    if (gSetDirectory.fd >= 0 && stat(".", &here) == 0 && here.st_nlink > 0 &&
        here.st_dev == gSetDirectory.device && here.st_ino == gSetDirectory.inode) {
      text.assign(gSetDirectory.text.data(), gSetDirectory.length);
      return ERROR_SUCCESS;
    }
  }
  text.resize(PATH_MAX);
  if (getcwd(text.data(), text.size()) == nullptr) {
    const int err = errno;
    text.clear();
    return err == ERANGE ? ERROR_FILENAME_EXCED_RANGE : Win32ErrorFromErrno(err);
  }
  text.resize(std::strlen(text.c_str()));
  return ERROR_SUCCESS;
}

// Copies `text` with its terminator when it fits, as the Win32 length convention asks:
// `result` is the length without the terminator, or the size needed with it.
void CopyWithLengthConvention(std::string_view text, std::span<char> buffer,
                              std::uint32_t& result) {
  if (text.size() < buffer.size()) {
    std::memcpy(buffer.data(), text.data(), text.size());
    buffer[text.size()] = '\0';
    result = static_cast<std::uint32_t>(text.size());
  } else {
    result = static_cast<std::uint32_t>(text.size() + 1);
  }
}

}  // namespace

Win32Error FormFullPath(const char* name, std::string& full) {
  full.clear();
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string_view path(name);
  if (path.empty()) return ERROR_INVALID_NAME;
  if (!IsSeparator(path.front())) {
    std::string cwd;
    if (const Win32Error error = ReadCurrentDirectory(cwd); error != ERROR_SUCCESS) return error;
    AppendComponents(cwd, full);
  }
  AppendComponents(path, full);
  if (full.empty()) {
    full = "/";
  } else if (IsSeparator(path.back())) {
    full += '/';
  }
  return ERROR_SUCCESS;
}

Win32Error ChangeCurrentDirectory(int dir, std::string_view full) {
  // Kept as GetCurrentDirectoryA gives it: no trailing separator but at the root.
  if (full.size() > 1 && full.back() == '/') full.remove_suffix(1);
  if (full.size() >= gSetDirectory.text.size()) {
    close(dir);
    return ERROR_FILENAME_EXCED_RANGE;
  }
  struct stat info {};
  std::lock_guard<std::mutex> guard(gSetDirectory.mutex);
  if (fstat(dir, &info) != 0 || fchdir(dir) != 0) {
    const int err = errno;
    close(dir);
    return Win32ErrorFromErrno(err);
  }
  if (gSetDirectory.fd >= 0) close(gSetDirectory.fd);
  gSetDirectory.fd = dir;
  gSetDirectory.device = info.st_dev;
  gSetDirectory.inode = info.st_ino;
  gSetDirectory.length = full.size();
  std::memcpy(gSetDirectory.text.data(), full.data(), full.size());
  gSetDirectory.text[full.size()] = '\0';
  return ERROR_SUCCESS;
}

Win32Error GetFullPathName(const char* name, std::span<char> buffer, std::uint32_t& result) {
  result = 0;
  std::string full;
  if (const Win32Error error = FormFullPath(name, full); error != ERROR_SUCCESS) return error;
  CopyWithLengthConvention(full, buffer, result);
  return ERROR_SUCCESS;
}

Win32Error GetCurrentDirectory(std::span<char> buffer, std::uint32_t& length) {
  length = 0;
  std::string cwd;
  if (const Win32Error error = ReadCurrentDirectory(cwd); error != ERROR_SUCCESS) return error;
  CopyWithLengthConvention(cwd, buffer, length);
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
