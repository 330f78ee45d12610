// Translation of errno values into the Win32 error vocabulary, for the POSIX backends.
#pragma once

#include "platform/win32_error.h"

namespace quoril::platform {

// The Win32 error a Windows call failing for the same reason would give.
// ENOENT answers ERROR_FILE_NOT_FOUND; a caller that knows the directory itself is missing
// uses Win32ErrorForMissing instead. Unknown values give ERROR_GEN_FAILURE.
Win32Error Win32ErrorFromErrno(int err);

// ERROR_PATH_NOT_FOUND when the directory that would hold `path` does not exist (or is not
// a directory), else ERROR_FILE_NOT_FOUND: what Windows tells apart for a missing file.
Win32Error Win32ErrorForMissing(const char* path);

// Win32ErrorFromErrno for ENOENT made precise with Win32ErrorForMissing(path).
Win32Error Win32ErrorFromErrno(int err, const char* path);

// The Windows Sockets error that a socket call failing for the same reason would give.
// Unknown values give WSAENETDOWN.
Win32Error WsaErrorFromErrno(int err);

}  // namespace quoril::platform
