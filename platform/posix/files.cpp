#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/error_mapping.h"
#include "platform/posix/failure_detail.h"
#include "platform/posix/file_open.h"
#include "platform/posix/full_path.h"
#include "platform/posix/share_table.h"
#include "platform/service_manager.h"

namespace quoril::platform {

namespace {

// Whether what `fd` opened lies outside the confinement `root` (none when empty), every
// symbolic link followed.
bool LiesOutside(int fd, const std::string& root) {
  std::string real;
  return !root.empty() && (!RealPathOf(fd, real) || !LiesWithin(real, root));
}

// The common case in few calls: an existing regular file whose path exists as written, its
// last component no symbolic link. The kernel's resolution then finds what the walk would.
// Anything else (a name in another case, a link at the end, no regular file, any failure) is
// left to the walk, which gives the answers. With a confinement the directory is opened and
// checked first and the file opened in it, so that nothing outside is opened here either.
bool OpenDirect(const std::string& full, std::uint32_t access, const std::string& root,
                UniqueFd& fd) {
  if (full.size() < 2 || full.back() == '/') return false;
  const std::size_t slash = full.rfind('/');
  int dirFd = AT_FDCWD;
  const char* name = full.c_str();
  UniqueFd dir;
  if (!root.empty()) {
    const std::string parent = slash == 0 ? std::string("/") : full.substr(0, slash);
    dir = UniqueFd(open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid() || LiesOutside(dir.Get(), root)) return false;
    dirFd = dir.Get();
    name = full.c_str() + slash + 1;
  }
  // Looked at before opening: opening a device or FIFO can have effects.
  struct stat info {};
  if (fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  fd = UniqueFd(openat(dirFd, name, OpenFlags(access)));
  return fd.Valid();
}

// What was opened, not what was looked at, decides: a regular file, inside the confinement.
Win32Error CheckOpened(int fd, const std::string& root, struct stat& opened) {
  if (fstat(fd, &opened) != 0) return Win32ErrorFromErrno(errno);
  return !S_ISREG(opened.st_mode) || LiesOutside(fd, root) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

}  // namespace

int OpenFlags(std::uint32_t access) {
  const bool writes = (access & kGenericWrite) != 0;
  const int mode = !writes ? O_RDONLY : (access & kGenericRead) != 0 ? O_RDWR : O_WRONLY;
  return O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | mode;
}

Win32Error OpenByWalk(const std::string& full, std::uint32_t access, std::uint32_t disposition,
                      const std::string& root, bool create, Walked& out, mode_t createMode) {
  // Starts over when the entry appears, vanishes or changes between looking and opening.
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    Location where;
    Found found = Found::kMissing;
    struct stat info {};
    if (const Win32Error error = WalkAndSettle(full, where, found, info); error != ERROR_SUCCESS) {
      return error;
    }
    if (LiesOutside(where.dir.Get(), root)) return ERROR_ACCESS_DENIED;

    UniqueFd fd;
    bool created = false;
    if (found == Found::kDirectory) {
      return disposition == kCreateNew ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
    } else if (found == Found::kEntry) {
      if (disposition == kCreateNew) return ERROR_FILE_EXISTS;
      // Devices, FIFOs and sockets are never opened: opening some of them has effects.
      if (!S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;
      fd = UniqueFd(openat(where.dir.Get(), where.name.c_str(), OpenFlags(access)));
      if (!fd.Valid()) {
        const int err = errno;
        if (err == ENOENT || err == ELOOP) continue;
        return err == ENXIO ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err);
      }
    } else {
      // A file that an upload is about to create exists, held without sharing, for the rest.
      if (Shares().IsReserved(KeyOf(where.dir.Get()), where.name)) {
        return disposition == kCreateNew ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION;
      }
      if (disposition == kOpenExisting || disposition == kTruncateExisting) {
        return ERROR_FILE_NOT_FOUND;
      }
      if (!create) {
        out.where = std::move(where);
        return ERROR_SUCCESS;
      }
      fd = UniqueFd(openat(where.dir.Get(), where.name.c_str(),
                           OpenFlags(access) | O_CREAT | O_EXCL, createMode));
      if (!fd.Valid()) {
        const int err = errno;
        if (err == EEXIST) continue;
        return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
      }
      created = true;
    }

    struct stat opened {};
    if (const Win32Error error = CheckOpened(fd.Get(), root, opened); error != ERROR_SUCCESS) {
      if (created && error == ERROR_ACCESS_DENIED) unlinkat(where.dir.Get(), where.name.c_str(), 0);
      return error;
    }
    out.where = std::move(where);
    out.fd = std::move(fd);
    out.opened = opened;
    out.created = created;
    return ERROR_SUCCESS;
  }
  return ERROR_SHARING_VIOLATION;
}

Win32Error PrepareOpen(const char* path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t disposition, const char* confineTo, std::string& full,
                       std::string& root) {
  if (const Win32Error error = CheckOpenArguments(path, access, share, disposition);
      error != ERROR_SUCCESS) {
    return error;
  }
  if (const Win32Error error = FormFullPath(path, full); error != ERROR_SUCCESS) return error;
  if (full.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  if (confineTo == nullptr) return ERROR_SUCCESS;
  // The confining directory by its real path.
  UniqueFd dir;
  std::string confined;
  if (OpenDirectory(confineTo, dir, confined) != ERROR_SUCCESS || !RealPathOf(dir.Get(), root)) {
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

void File::Close() {
  if (handle_ >= 0) Shares().CloseAndRelease(static_cast<int>(handle_), shareEntry_);
  handle_ = -1;
  shareEntry_ = 0;
  replacement_.reset();
}

Win32Error File::Open(const char* path, std::uint32_t access, std::uint32_t share,
                      std::uint32_t disposition, const char* confineTo, bool* alreadyExisted,
                      FileUse use) {
  Close();
  // Whatever an earlier step noted is not why this open fails.
  if (use == FileUse::kServiceOwn) ClearFailureDetail();
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  std::string full;
  std::string root;
  if (const Win32Error error = PrepareOpen(path, access, share, disposition, confineTo, full, root);
      error != ERROR_SUCCESS) {
    return error;
  }

  // Admits the file opened under the sharing rules and only then empties it.
  const auto admit = [&](UniqueFd fd, const struct stat& opened, bool created) -> Win32Error {
    std::uintptr_t entry = 0;
    if (const Win32Error error = Shares().Admit(fd.Get(), opened, access, share, use, entry);
        error != ERROR_SUCCESS) {
      return error;
    }
    handle_ = fd.Release();
    shareEntry_ = entry;
    // The service's own file is only ever appended to: each write lands at the end even
    // after another program shortened the file (a log rotation's copy and truncation).
    const int descriptor = static_cast<int>(handle_);
    const bool appendOnly = use == FileUse::kServiceOwn && (access & kGenericWrite) != 0;
    const int flags = appendOnly ? fcntl(descriptor, F_GETFL) : 0;
    const bool emptied =
        !created && (disposition == kCreateAlways || disposition == kTruncateExisting);
    if ((appendOnly && (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_APPEND) != 0)) ||
        (emptied && ftruncate(descriptor, 0) != 0)) {
      const Win32Error error = Win32ErrorFromErrno(errno);
      Close();
      return error;
    }
    if (alreadyExisted != nullptr) {
      *alreadyExisted = !created && (disposition == kCreateAlways || disposition == kOpenAlways);
    }
    return ERROR_SUCCESS;
  };

  if (disposition != kCreateNew) {
    UniqueFd fd;
    if (OpenDirect(full, access, root, fd)) {
      struct stat opened {};
      if (const Win32Error error = CheckOpened(fd.Get(), root, opened); error != ERROR_SUCCESS) {
        return error;
      }
      return admit(std::move(fd), opened, false);
    }
  }

  Walked walked;
  if (const Win32Error error = OpenByWalk(full, access, disposition, root, true, walked,
                                          use == FileUse::kServiceOwn ? 0600 : 0666);
      error != ERROR_SUCCESS) {
    return error;
  }
  return admit(std::move(walked.fd), walked.opened, walked.created);
}

namespace {

// One read by `readOnce` (one system call, answering its count or -1 with errno), again after
// an interruption.
template <class ReadOnce>
Win32Error ReadPart(std::size_t& bytesRead, ReadOnce readOnce) {
  for (;;) {
    const ssize_t count = readOnce();
    if (count >= 0) {
      bytesRead = static_cast<std::size_t>(count);
      return ERROR_SUCCESS;
    }
    if (errno == EINTR) continue;
    // A descriptor that is open but refuses reading was opened without read access.
    return errno == EBADF ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
  }
}

// Writes all of `data` with `writeOnce` (one system call, answering its count or -1 with errno),
// again after a short write or an interruption.
template <class WriteOnce>
Win32Error WriteWhole(std::span<const std::uint8_t> data, WriteOnce writeOnce) {
  while (!data.empty()) {
    const ssize_t count = writeOnce(data);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno);
    }
    // A write that stores nothing without an error has no room left.
    if (count == 0) return ERROR_DISK_FULL;
    data = data.subspan(static_cast<std::size_t>(count));
  }
  return ERROR_SUCCESS;
}

}  // namespace

Win32Error File::Read(std::span<std::uint8_t> buffer, std::size_t& bytesRead) {
  bytesRead = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  return ReadPart(bytesRead, [&] { return read(fd, buffer.data(), buffer.size()); });
}

Win32Error File::ReadAt(std::span<std::uint8_t> buffer, std::uint64_t offset,
                        std::size_t& bytesRead) {
  bytesRead = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return ERROR_INVALID_PARAMETER;
  }
  const int fd = static_cast<int>(handle_);
  return ReadPart(bytesRead, [&] {
    return pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
  });
}

Win32Error File::Write(std::span<const std::uint8_t> data) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  return WriteWhole(data, [fd](std::span<const std::uint8_t> rest) {
    return write(fd, rest.data(), rest.size());
  });
}

Win32Error File::SeekToEnd() {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  if (lseek(static_cast<int>(handle_), 0, SEEK_END) < 0) return Win32ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

Win32Error File::Size(std::uint64_t& size) const {
  size = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  struct stat info {};
  if (fstat(static_cast<int>(handle_), &info) != 0) return Win32ErrorFromErrno(errno);
  size = static_cast<std::uint64_t>(info.st_size);
  return ERROR_SUCCESS;
}

Win32Error GetDiskFreeSpace(const char* path, std::uint64_t& freeBytes) {
  freeBytes = 0;
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  // The file's directory, or the nearest one above it that exists: a directory that a
  // request names in another case than the disk does is found by Open, not by statvfs.
  std::string directory(path);
  for (;;) {
    const std::size_t slash = directory.find_last_of('/');
    if (slash == std::string::npos) {
      directory = ".";
    } else {
      directory.resize(slash == 0 ? 1 : slash);
    }
    struct statvfs info {};
    if (statvfs(directory.c_str(), &info) == 0) {
      freeBytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
      return ERROR_SUCCESS;
    }
    const int error = errno;
    if ((error != ENOENT && error != ENOTDIR) || directory == "/" || directory == ".") {
      return Win32ErrorFromErrno(error);
    }
  }
}

Win32Error File::Append(std::span<const std::uint8_t> data) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle_);
  return WriteWhole(data, [fd](std::span<const std::uint8_t> rest) -> ssize_t {
    iovec piece{const_cast<std::uint8_t*>(rest.data()), rest.size()};
    const ssize_t count = pwritev2(fd, &piece, 1, -1, RWF_APPEND);
    if (count >= 0 || (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) return count;
    // Kernels before 4.16: the descriptor appends from now on.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_APPEND) != 0) return -1;
    return write(fd, rest.data(), rest.size());
  });
}

Win32Error CheckDirectory(const char* path) {
  UniqueFd dir;
  std::string full;
  return OpenDirectory(path, dir, full);
}

Win32Error SetCurrentDirectory(const char* path) {
  ClearFailureDetail();
  UniqueFd dir;
  std::string full;
  Win32Error error = OpenDirectory(path, dir, full);
  if (error == ERROR_SUCCESS) error = ChangeCurrentDirectory(dir.Release(), full);
  if (error != ERROR_SUCCESS) {
    // A directory that the service's sandbox hides looks missing or forbidden: say why.
    const std::string sandbox = ServiceSandboxNote(path);
    NoteFailureDetail("cannot serve the directory " + std::string(path != nullptr ? path : "") +
                      ": " + DescribeError(error) + (sandbox.empty() ? "" : "; " + sandbox));
  }
  return error;
}

Win32Error GetModuleFileName(std::span<char> buffer, std::uint32_t& length) {
  length = 0;
  std::array<char, PATH_MAX> target{};
  const ssize_t count = readlink("/proc/self/exe", target.data(), target.size());
  if (count < 0) return Win32ErrorFromErrno(errno);
  const std::string_view name(target.data(), static_cast<std::size_t>(count));
  if (static_cast<std::size_t>(count) >= target.size()) return ERROR_FILENAME_EXCED_RANGE;
  // As GetModuleFileNameA: a name that does not fit is cut to the buffer, terminated, and
  // reported as ERROR_INSUFFICIENT_BUFFER with the buffer's size as the length.
  const bool fits = name.size() < buffer.size();
  if (!buffer.empty()) {
    const std::size_t copied = fits ? name.size() : buffer.size() - 1;
    std::memcpy(buffer.data(), name.data(), copied);
    buffer[copied] = '\0';
  }
  length = static_cast<std::uint32_t>(fits ? name.size() : buffer.size());
  return fits ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace quoril::platform
