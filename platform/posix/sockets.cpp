// This host's name.
#include "platform/sockets.h"

#include <unistd.h>

#include <cerrno>

#include "platform/posix/error_mapping.h"

namespace quoril::platform {

Win32Error GetHostName(std::span<char> buffer) {
  if (buffer.empty()) return WSAEFAULT;
  if (::gethostname(buffer.data(), buffer.size()) != 0) return WsaErrorFromErrno(errno);
  buffer.back() = '\0';
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
