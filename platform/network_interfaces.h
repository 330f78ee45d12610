// What the system knows about the network interfaces that hold the host's addresses.
#pragma once

#include <cstdint>

#include "platform/win32_error.h"

namespace quoril::platform {

// The MTU of the interface (adapter) that holds the IPv4 `address` (network byte order):
// the largest IP datagram it sends unfragmented. ERROR_NOT_FOUND when no interface holds it.
Win32Error GetInterfaceMtu(std::uint32_t address, std::uint32_t& mtu);

}  // namespace quoril::platform
