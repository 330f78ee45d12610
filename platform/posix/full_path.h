// Lexical path forming shared by the POSIX file backends.
#pragma once

#include <string>

#include "platform/win32_error.h"

namespace quoril::platform {

// The full path of `name` as GetFullPathNameA forms it, of any length: absolute, '/' as the
// only separator, no '.' or '..' components, no repeated separators; a trailing separator of
// `name` is kept. Fails with ERROR_INVALID_PARAMETER for null, ERROR_INVALID_NAME for an empty
// name, or the error of reading the current directory.
Win32Error FormFullPath(const char* name, std::string& full);

}  // namespace quoril::platform
