#include "platform/posix/path_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/files.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/full_path.h"
#include "platform/strings.h"

namespace quoril::platform {

namespace {

// How often a symbolic link in the last position of a path is followed before the path
// counts as a loop; the kernel allows the same number.
constexpr int kMaxLinkHops = 40;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The entry of `dir` that equals `name` but for ASCII case. Several such entries can exist on
// a case-sensitive file system; the smallest in byte order is taken so that the choice is
// the same on every call.
bool FindIgnoringCase(int dir, const std::string& name, std::string& match) {
  const int listFd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) return false;
  std::unique_ptr<DIR, DirCloser> list(fdopendir(listFd));
  if (!list) {
    close(listFd);
    return false;
  }
  bool found = false;
  while (const dirent* entry = readdir(list.get())) {
    const std::string_view candidate(entry->d_name);
    if (candidate == name || !EqualIgnoringAsciiCase(candidate, name)) continue;
    if (!found || candidate < match) match = candidate;
    found = true;
  }
  return found;
}

bool IsDotOrDotDot(std::string_view name) {
  return name == "." || name == "..";
}

// Opens the directory `name` inside `dir`, following symbolic links, matching the name
// without regard to case when it does not exist as written. A missing or unusable directory
// is ERROR_PATH_NOT_FOUND, as Win32 says for every component but the last.
Win32Error OpenSubdirectory(int dir, const std::string& name, UniqueFd& out) {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  out = UniqueFd(openat(dir, name.c_str(), kFlags));
  if (!out.Valid() && errno == ENOENT && !IsDotOrDotDot(name)) {
    std::string match;
    if (FindIgnoringCase(dir, name, match)) {
      out = UniqueFd(openat(dir, match.c_str(), kFlags));
    } else {
      errno = ENOENT;
    }
  }
  if (out.Valid()) return ERROR_SUCCESS;
  const int err = errno;
  return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
}

// Walks every directory of `path` but the last component, starting at `start` (or at the
// root for an absolute path).
Win32Error WalkToLast(UniqueFd start, std::string_view path, Location& out) {
  UniqueFd dir = std::move(start);
  if (path.starts_with('/') || !dir.Valid()) {
    dir = UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) return Win32ErrorFromErrno(errno);
  }
  const auto descend = [&dir](const std::string& name) {
    UniqueFd next;
    const Win32Error error = OpenSubdirectory(dir.Get(), name, next);
    if (error == ERROR_SUCCESS) dir = std::move(next);
    return error;
  };
  std::string pending;
  std::size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && path[pos] == '/') ++pos;
    if (pos >= path.size()) break;
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    if (!pending.empty()) {
      if (const Win32Error error = descend(pending); error != ERROR_SUCCESS) return error;
    }
    pending.assign(path.substr(pos, end - pos));
    pos = end;
  }
  // A trailing separator asks for a directory: the last component is walked like the rest.
  if (!pending.empty() && path.ends_with('/')) {
    if (const Win32Error error = descend(pending); error != ERROR_SUCCESS) return error;
    pending.clear();
  }
  out.dir = std::move(dir);
  out.name = std::move(pending);
  return ERROR_SUCCESS;
}

// Settles the last component of `where`: matches it without regard to case when it does not
// exist as written, and follows it while it is a symbolic link, so that afterwards `where`
// names the real entry (or where a new one would be created) and `info` describes it.
Win32Error SettleLast(Location& where, Found& found, struct stat& info) {
  for (int hops = 0;; ++hops) {
    if (where.name.empty() || IsDotOrDotDot(where.name)) {
      found = Found::kDirectory;
      return ERROR_SUCCESS;
    }
    if (fstatat(where.dir.Get(), where.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      const int err = errno;
      if (err != ENOENT) return Win32ErrorFromErrno(err);
      std::string match;
      if (!FindIgnoringCase(where.dir.Get(), where.name, match)) {
        found = Found::kMissing;
        return ERROR_SUCCESS;
      }
      where.name = std::move(match);
      continue;
    }
    if (!S_ISLNK(info.st_mode)) {
      found = S_ISDIR(info.st_mode) ? Found::kDirectory : Found::kEntry;
      return ERROR_SUCCESS;
    }
    if (hops >= kMaxLinkHops) return ERROR_PATH_NOT_FOUND;
    std::array<char, PATH_MAX> target{};
    const ssize_t length =
        readlinkat(where.dir.Get(), where.name.c_str(), target.data(), target.size());
    if (length < 0) {
      // No longer a link, or gone, since it was looked at: looked at again.
      if (errno == EINVAL || errno == ENOENT) continue;
      return Win32ErrorFromErrno(errno);
    }
    if (static_cast<std::size_t>(length) >= target.size()) return ERROR_FILENAME_EXCED_RANGE;
    if (length == 0) return ERROR_PATH_NOT_FOUND;
    const std::string link(target.data(), static_cast<std::size_t>(length));
    Location next;
    if (const Win32Error error = WalkToLast(std::move(where.dir), link, next);
        error != ERROR_SUCCESS) {
      return error;
    }
    where = std::move(next);
  }
}

}  // namespace

bool RealPathOf(int fd, std::string& path) {
  std::array<char, 32> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(link.data(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
  path.assign(target.data(), static_cast<std::size_t>(length));
  return path.front() == '/';
}

bool LiesWithin(std::string_view path, std::string_view root) {
  if (root == "/") return !path.empty() && path.front() == '/';
  if (!path.starts_with(root)) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

Win32Error WalkAndSettle(const std::string& full, Location& where, Found& found,
                         struct stat& info) {
  if (const Win32Error error = WalkToLast(UniqueFd(), full, where); error != ERROR_SUCCESS) {
    return error;
  }
  return SettleLast(where, found, info);
}

Win32Error OpenDirectory(const char* path, UniqueFd& out, std::string& full) {
  if (const Win32Error error = FormFullPath(path, full); error != ERROR_SUCCESS) return error;
  if (full.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  // Where every component exists as written, the kernel's own resolution finds the same
  // directory as the walk below, in one call.
  out = UniqueFd(open(full.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (out.Valid()) return ERROR_SUCCESS;
  Location where;
  Found found = Found::kMissing;
  struct stat info {};
  if (const Win32Error error = WalkAndSettle(full, where, found, info); error != ERROR_SUCCESS) {
    return error;
  }
  if (found == Found::kMissing) return ERROR_FILE_NOT_FOUND;
  if (found == Found::kEntry) return ERROR_DIRECTORY;
  if (where.name.empty()) {
    out = std::move(where.dir);
    return ERROR_SUCCESS;
  }
  out = UniqueFd(openat(where.dir.Get(), where.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (out.Valid()) return ERROR_SUCCESS;
  const int err = errno;
  return err == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(err);
}

}  // namespace quoril::platform
