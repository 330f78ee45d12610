// Win32 error values: the one vocabulary for failures across the platform layer.
// On Windows the system headers define them; elsewhere the layer defines the same values,
// so that code outside the layer reads the same on every platform.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <winerror.h>
#endif

namespace quoril {

using Win32Error = std::uint32_t;

#if !defined(_WIN32)
inline constexpr Win32Error ERROR_SUCCESS = 0;
inline constexpr Win32Error ERROR_INVALID_FUNCTION = 1;
inline constexpr Win32Error ERROR_FILE_NOT_FOUND = 2;
inline constexpr Win32Error ERROR_PATH_NOT_FOUND = 3;
inline constexpr Win32Error ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr Win32Error ERROR_ACCESS_DENIED = 5;
inline constexpr Win32Error ERROR_INVALID_HANDLE = 6;
inline constexpr Win32Error ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Win32Error ERROR_INVALID_DATA = 13;
inline constexpr Win32Error ERROR_WRITE_FAULT = 29;
inline constexpr Win32Error ERROR_GEN_FAILURE = 31;
inline constexpr Win32Error ERROR_SHARING_VIOLATION = 32;
inline constexpr Win32Error ERROR_HANDLE_EOF = 38;
inline constexpr Win32Error ERROR_NOT_SUPPORTED = 50;
inline constexpr Win32Error ERROR_FILE_EXISTS = 80;
inline constexpr Win32Error ERROR_INVALID_PARAMETER = 87;
inline constexpr Win32Error ERROR_BROKEN_PIPE = 109;
inline constexpr Win32Error ERROR_DISK_FULL = 112;
inline constexpr Win32Error ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr Win32Error ERROR_INVALID_NAME = 123;
inline constexpr Win32Error ERROR_DIR_NOT_EMPTY = 145;
inline constexpr Win32Error ERROR_BAD_PATHNAME = 161;
inline constexpr Win32Error ERROR_ALREADY_EXISTS = 183;
inline constexpr Win32Error ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr Win32Error ERROR_MORE_DATA = 234;
inline constexpr Win32Error WAIT_TIMEOUT = 258;
inline constexpr Win32Error ERROR_NO_MORE_ITEMS = 259;
inline constexpr Win32Error ERROR_DIRECTORY = 267;
inline constexpr Win32Error ERROR_OPERATION_ABORTED = 995;
inline constexpr Win32Error ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr Win32Error ERROR_INVALID_SERVICE_ACCOUNT = 1057;
inline constexpr Win32Error ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr Win32Error ERROR_SERVICE_EXISTS = 1073;
inline constexpr Win32Error ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr Win32Error ERROR_CANTOPEN = 1011;
inline constexpr Win32Error ERROR_CANTREAD = 1012;
inline constexpr Win32Error ERROR_CANTWRITE = 1013;
inline constexpr Win32Error ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr Win32Error ERROR_KEY_DELETED = 1018;
inline constexpr Win32Error ERROR_SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr Win32Error ERROR_NOT_FOUND = 1168;
inline constexpr Win32Error WSAEINTR = 10004;
inline constexpr Win32Error WSAEACCES = 10013;
inline constexpr Win32Error WSAEFAULT = 10014;
inline constexpr Win32Error WSAEINVAL = 10022;
inline constexpr Win32Error WSAEMFILE = 10024;
inline constexpr Win32Error WSAEWOULDBLOCK = 10035;
inline constexpr Win32Error WSAENOTSOCK = 10038;
inline constexpr Win32Error WSAEMSGSIZE = 10040;
inline constexpr Win32Error WSAEAFNOSUPPORT = 10047;
inline constexpr Win32Error WSAEADDRINUSE = 10048;
inline constexpr Win32Error WSAEADDRNOTAVAIL = 10049;
inline constexpr Win32Error WSAENETDOWN = 10050;
inline constexpr Win32Error WSAENETUNREACH = 10051;
inline constexpr Win32Error WSAECONNRESET = 10054;
inline constexpr Win32Error WSAENOBUFS = 10055;
inline constexpr Win32Error WSAEHOSTUNREACH = 10065;
inline constexpr Win32Error WSAHOST_NOT_FOUND = 11001;
#endif

}  // namespace quoril
