// What the system knows about the network interfaces that hold the host's addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/socket_address.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// The MTU of the interface (adapter) that holds `address` (its port is not looked at): the
// largest IP datagram it sends unfragmented. ERROR_NOT_FOUND when no interface holds it.
Win32Error GetInterfaceMtu(const SocketAddress& address, std::uint32_t& mtu);

// The name of the interface with index `index`, as an IPv6 scope names it ("eth0").
// ERROR_NOT_FOUND when there is none; ERROR_NOT_SUPPORTED where the system names
// interfaces by number only.
using InterfaceNameText = std::array<char, 17>;
Win32Error GetInterfaceName(std::uint32_t index, InterfaceNameText& name);

// A link-layer address as the neighbour table holds it: six bytes for Ethernet.
inline constexpr std::size_t kMaxHardwareAddress = 8;
struct HardwareAddress {
  std::array<std::uint8_t, kMaxHardwareAddress> bytes{};
  std::uint8_t length = 0;
};
// The hardware address that the neighbour table (ARP for IPv4, neighbour discovery for IPv6)
// holds for the host of `address`, when it holds a usable one. ERROR_NOT_FOUND otherwise.
Win32Error GetHardwareAddress(const SocketAddress& address, HardwareAddress& hardware);

}  // namespace quoril::platform
