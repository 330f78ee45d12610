#include "platform/win32/datagrams.h"

#include <mswsock.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace quoril::platform {

namespace {

// A SocketAddress is the system's own structure: it goes to and from the calls as it is.
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == sizeof(SocketAddress));

// The largest UDP datagram over IPv4, so that a receive learns the real size of one that
// does not fit its buffer.
constexpr std::size_t kLargestDatagram = 65536;

}  // namespace

Win32Error LastSocketError() {
  return static_cast<Win32Error>(::WSAGetLastError());
}

timeval Timeval(DWORD milliseconds) {
  timeval tv{};
  tv.tv_sec = static_cast<long>(milliseconds / 1000);
  tv.tv_usec = static_cast<long>(milliseconds % 1000 * 1000);
  return tv;
}

Win32Error OpenBound(const SocketAddress& address, SOCKET& out, bool sharePort) {
  out = INVALID_SOCKET;
  const int family = address.IsIPv6() ? AF_INET6 : AF_INET;
  SOCKET s = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return LastSocketError();
  // Not inherited by programs that the process starts.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (sharePort) {
    const BOOL reuse = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  }
  // An ICMP "port unreachable" for an earlier datagram would otherwise fail the next receive
  // with WSAECONNRESET, which is no datagram and no fault of this socket.
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  if (family == AF_INET6) {
    // IPv4 is served by sockets of its own, never through mapped addresses.
    const DWORD on = 1;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), static_cast<int>(address.Length())) ==
      SOCKET_ERROR) {
    const Win32Error error = LastSocketError();
    ::closesocket(s);
    return error;
  }
  out = s;
  return ERROR_SUCCESS;
}

Win32Error SendDatagram(SOCKET s, std::span<const std::uint8_t> packet, const SocketAddress& to) {
  const int n =
      ::sendto(s, reinterpret_cast<const char*>(packet.data()), static_cast<int>(packet.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), static_cast<int>(to.Length()));
  return n == SOCKET_ERROR ? LastSocketError() : ERROR_SUCCESS;
}

Win32Error ReceiveDatagram(SOCKET s, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from) {
  received = 0;
  // On the stack, uncleared: every thread's stack has room for it, and nothing is allocated
  // per datagram.
  std::array<char, kLargestDatagram> whole;
  sockaddr_in6 sender{};
  int senderLength = sizeof sender;
  const int n = ::recvfrom(s, whole.data(), static_cast<int>(whole.size()), 0,
                           reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (n == SOCKET_ERROR) return LastSocketError();
  received = static_cast<std::size_t>(n);
  SocketAddress::FromNative(&sender, from);
  std::memcpy(buffer.data(), whole.data(), std::min(received, buffer.size()));
  return received > buffer.size() ? WSAEMSGSIZE : ERROR_SUCCESS;
}

Win32Error TryReceiveDatagram(SOCKET s, std::span<std::uint8_t> buffer, std::size_t& received,
                              SocketAddress& from, bool& gotOne) {
  gotOne = false;
  received = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval none{};
  const int n = ::select(0, &readable, nullptr, nullptr, &none);
  if (n == SOCKET_ERROR) return LastSocketError();
  if (n == 0) return ERROR_SUCCESS;
  const Win32Error error = ReceiveDatagram(s, buffer, received, from);
  gotOne = error == ERROR_SUCCESS || error == WSAEMSGSIZE;
  return error;
}

}  // namespace quoril::platform
