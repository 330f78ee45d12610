// What UdpSocket and PortSocketSet share: a bound socket, and one datagram sent or received.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/sockets.h"

namespace quoril::platform {

SocketAddress FromNative(const sockaddr_in6& native);

// A UDP socket of the family of `address`, bound to it; `fd` is -1 on failure, whose reason
// goes to the failure detail.
Win32Error OpenBound(const SocketAddress& address, int& fd);

// recvfrom, without the C library's cancellation point.
ssize_t ReceiveCall(int fd, void* buffer, std::size_t size, int flags, sockaddr* from,
                    socklen_t* fromLength);

Win32Error SendDatagram(int fd, std::span<const std::uint8_t> packet, const SocketAddress& to);

// One datagram, whole or failing with WSAEMSGSIZE (`received` then its real size); `arrived`,
// when given, when it arrived.
Win32Error ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from, ArrivalClock::time_point* arrived = nullptr);

// As ReceiveDatagram, never waiting: `gotOne` stays false when none is queued.
Win32Error TryReceiveDatagram(int fd, std::span<std::uint8_t> buffer, std::size_t& received,
                              SocketAddress& from, bool& gotOne,
                              ArrivalClock::time_point* arrived = nullptr);

}  // namespace quoril::platform
