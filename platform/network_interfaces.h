// What the system knows about the network interfaces that hold the host's addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// One address of one interface that is up: an address held by two interfaces comes twice.
struct InterfaceAddress {
  SocketAddress address;  // port 0; scoped as LookupHostAddresses scopes it
  std::uint32_t index = 0;
  // Linux: the name ("eth0"); Windows: the adapter's friendly name ("Ethernet").
  std::string name;
};
// Every address of both families of every interface that is up, in the system's order.
Win32Error ListInterfaceAddresses(std::vector<InterfaceAddress>& found);

// Whether a socket can be bound to the interface address `address` now. Linux binds one still
// in duplicate address detection freely (IPV6_FREEBIND); Windows refuses it, and so leaves it
// out of LookupHostAddresses until the next start.
bool IsBindableNow(const SocketAddress& address);

// Whether `name` could name an interface here: Linux takes 1 to 15 characters without a
// blank, '/' or ':'; Windows' friendly names take up to 256, blanks included.
bool IsInterfaceName(std::string_view name);

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
