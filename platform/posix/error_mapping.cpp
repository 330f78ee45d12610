#include "platform/posix/error_mapping.h"

#include <sys/stat.h>

#include <cerrno>
#include <span>
#include <string>

namespace quoril::platform {

namespace {

struct ErrnoMapping {
  int err;
  Win32Error win32;
};

// EAGAIN and EWOULDBLOCK are the same value on Linux; either one reaching this table comes
// from a lock held by someone else, which Windows reports as a sharing violation.
constexpr ErrnoMapping kErrnoMappings[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EAGAIN, ERROR_SHARING_VIOLATION},
    {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},
    {EIO, ERROR_GEN_FAILURE},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EPIPE, ERROR_BROKEN_PIPE},
};

// Windows Sockets tells a refused datagram and a reset alike (WSAECONNRESET).
constexpr ErrnoMapping kSocketErrnoMappings[] = {
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EINTR, WSAEINTR},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EMSGSIZE, WSAEMSGSIZE},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ECONNREFUSED, WSAECONNRESET},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

Win32Error Lookup(std::span<const ErrnoMapping> table, int err, Win32Error otherwise) {
  for (const ErrnoMapping& mapping : table) {
    if (mapping.err == err) return mapping.win32;
  }
  return otherwise;
}

}  // namespace

Win32Error Win32ErrorFromErrno(int err) {
  return Lookup(kErrnoMappings, err, ERROR_GEN_FAILURE);
}

Win32Error WsaErrorFromErrno(int err) {
  return Lookup(kSocketErrnoMappings, err, WSAENETDOWN);
}

Win32Error Win32ErrorForMissing(const char* path) {
  if (path == nullptr || *path == '\0') return ERROR_PATH_NOT_FOUND;
  std::string parent(path);
  // Trailing separators belong to the last component, not to its parent.
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const std::size_t slash = parent.rfind('/');
  if (slash == std::string::npos) {
    parent = ".";
  } else if (slash == 0) {
    parent = "/";
  } else {
    parent.resize(slash);
  }
  struct stat info {};
  if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

Win32Error Win32ErrorFromErrno(int err, const char* path) {
  if (err == ENOENT) return Win32ErrorForMissing(path);
  return Win32ErrorFromErrno(err);
}

}  // namespace quoril::platform
