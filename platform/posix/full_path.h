// Lexical path forming shared by the POSIX file backends.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32_error.h"

namespace quoril::platform {

// The full path of `name` as GetFullPathNameA forms it, of any length: absolute, '/' as the
// only separator, no '.' or '..' components, no repeated separators; a trailing separator of
// `name` is kept. Fails with ERROR_INVALID_PARAMETER for null, ERROR_INVALID_NAME for an empty
// name, or the error of reading the current directory.
Win32Error FormFullPath(const char* name, std::string& full);

// SetCurrentDirectoryA's last step: makes the directory open as `dir` the current directory
// of the process, known from now on by `full` (formed by FormFullPath, shorter than
// kMaxPath), as Windows keeps the text that was set rather than the resolved path. Takes
// `dir` over, and keeps it open so that the directory cannot be mistaken for another.
Win32Error ChangeCurrentDirectory(int dir, std::string_view full);

}  // namespace quoril::platform
