// Windows Sockets' start and end, and this host's name.
#include "platform/sockets.h"

#include "platform/win32/windows_headers.h"

#include <ws2tcpip.h>

#include <algorithm>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

Win32Error SocketsStartup(bool ipv6) {
  // IPv6 came with Windows Sockets 2. Without it the server asks for 1.1, as it always has;
  // the few calls of version 2 it makes (WSAIoctl, WSAPoll) are served under either.
  WSADATA data{};
  const int error = ::WSAStartup(ipv6 ? MAKEWORD(2, 2) : MAKEWORD(1, 1), &data);
  return static_cast<Win32Error>(error);
}

Win32Error SocketsCleanup() {
  if (::WSACleanup() == SOCKET_ERROR) return LastSocketError();
  return ERROR_SUCCESS;
}

Win32Error GetHostName(std::span<char> buffer) {
  if (buffer.empty()) return WSAEFAULT;
  const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), 0x7FFFFFFF));
  if (::gethostname(buffer.data(), size) == SOCKET_ERROR) return LastSocketError();
  buffer.back() = '\0';
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
