// What the socket files share with each other and with the event poller: a bound socket, one
// datagram sent or received, and the transfer sockets that the stop's cancel reaches.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/sockets.h"

namespace quoril::platform {

// Whether CancelTransferWaits shuts transfer socket `fd` down (every open transfer socket is
// included until a poller watches it). A socket shut down reads as ready for ever, which
// would keep a poller from ever sleeping.
void IncludeInTransferWaitCancel(int fd, bool included);

// A UDP socket of the family of `address`, bound to it; `fd` is -1 on failure, whose reason
// goes to the failure detail.
Win32Error OpenBound(const SocketAddress& address, int& fd);

Win32Error SendDatagram(int fd, std::span<const std::uint8_t> packet, const SocketAddress& to);

// One datagram, whole or failing with WSAEMSGSIZE (`received` then its real size); `arrived`,
// when given, when it arrived. With `gotOne` it never waits, and leaves `gotOne` false when
// none is queued.
Win32Error ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from, ArrivalClock::time_point* arrived = nullptr,
                           bool* gotOne = nullptr);

}  // namespace quoril::platform
