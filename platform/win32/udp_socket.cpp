// Windows Sockets' start and end, the host's name, the transfers' sockets, and the cancel that
// ends their waits at the stop.
#include "platform/sockets.h"

#include "platform/win32/windows_headers.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

namespace {

std::atomic<bool> gTransferWaitsCancelled{false};

}  // namespace

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

void CancelTransferWaits() {
  gTransferWaitsCancelled.store(true);
}

Win32Error UdpSocket::Open(const SocketAddress& local) {
  Close();
  SOCKET s = INVALID_SOCKET;
  const Win32Error error = OpenBound(local, s);
  if (error == ERROR_SUCCESS) handle_ = static_cast<std::intptr_t>(s);
  return error;
}

void UdpSocket::Close() {
  if (handle_ >= 0) {
    ::closesocket(AsSocket(handle_));
    handle_ = -1;
  }
}

Win32Error UdpSocket::SendTo(std::span<const std::uint8_t> packet, const SocketAddress& to) const {
  if (handle_ < 0) return WSAENOTSOCK;
  return SendDatagram(AsSocket(handle_), packet, to);
}

Win32Error UdpSocket::ReceiveFrom(std::span<std::uint8_t> buffer, std::size_t& received,
                                  SocketAddress& from) const {
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  return ReceiveDatagram(AsSocket(handle_), buffer, received, from);
}

Win32Error UdpSocket::ReceiveWithin(std::uint32_t timeoutMilliseconds,
                                    std::span<std::uint8_t> buffer, std::size_t& received,
                                    SocketAddress& from, WaitResult& result) {
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
  for (;;) {
    if (gTransferWaitsCancelled.load()) {
      result = WaitResult::kCancelled;
      return ERROR_SUCCESS;
    }
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(AsSocket(handle_), &readable);
    timeval slice = Timeval(std::min(left, kWaitSlice));
    const int n = ::select(0, &readable, nullptr, nullptr, &slice);
    if (n == SOCKET_ERROR) return LastSocketError();
    if (n > 0) {
      result = WaitResult::kReady;
      return ReceiveDatagram(AsSocket(handle_), buffer, received, from);
    }
    if (left <= kWaitSlice) {
      result = WaitResult::kTimeout;
      return ERROR_SUCCESS;
    }
  }
}

Win32Error UdpSocket::TryReceive(std::span<std::uint8_t> buffer, std::size_t& received,
                                 SocketAddress& from, bool& gotOne) const {
  gotOne = false;
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  return TryReceiveDatagram(AsSocket(handle_), buffer, received, from, gotOne);
}

std::uint16_t UdpSocket::LocalPort() const {
  // The port stands at the same place in both families' structures.
  sockaddr_in6 local{};
  int length = sizeof local;
  if (handle_ < 0 ||
      ::getsockname(AsSocket(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ::ntohs(local.sin6_port);
}

}  // namespace quoril::platform
