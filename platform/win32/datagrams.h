// What UdpSocket and PortSocketSet share: a bound socket, one datagram sent or received, and
// the wait's slice.
#pragma once

#include "platform/win32/windows_headers.h"

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/sockets.h"

namespace quoril::platform {

// How often a wait looks whether it has been cancelled, or whether the stop closed the
// sockets under it (a select that the closing does not wake still ends this soon).
constexpr DWORD kWaitSlice = 250;

// 127.0.0.1 in network byte order, where the wake-up sockets of pollers and watchers listen.
constexpr std::uint32_t kLoopback = 0x0100007F;

inline SOCKET AsSocket(std::intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

Win32Error LastSocketError();
timeval Timeval(DWORD milliseconds);

// A UDP socket of the family of `address`, bound to it; with `sharePort`, SO_REUSEADDR.
Win32Error OpenBound(const SocketAddress& address, SOCKET& out, bool sharePort = false);
Win32Error SendDatagram(SOCKET s, std::span<const std::uint8_t> packet, const SocketAddress& to);
// One datagram, whole: a datagram larger than `buffer` is consumed and fails with
// WSAEMSGSIZE, and `received` tells its real size.
Win32Error ReceiveDatagram(SOCKET s, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from);
// A datagram if one is queued, without waiting: a select that does not wait first, as the
// socket itself stays blocking for ReceiveFrom.
Win32Error TryReceiveDatagram(SOCKET s, std::span<std::uint8_t> buffer, std::size_t& received,
                              SocketAddress& from, bool& gotOne);

}  // namespace quoril::platform
