// Which local addresses ListenAddresses lets the server serve: its entries as read, and the
// choice among the addresses found, as pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network_interfaces.h"
#include "platform/socket_address.h"

namespace quoril {

// One entry: an address, which a scope after '%' ties to one interface, or an interface's
// name, which stands for every address the interface holds.
struct ListenEntry {
  std::string text;  // as written, without surrounding blanks
  bool isAddress = false;
  platform::SocketAddress address{};  // the host, without scope
  // An interface entry's name, or an address's scope given by name ("eth0").
  std::string interfaceName;
  std::uint32_t interfaceIndex = 0;  // an address's scope given by number; 0 for none
};

// Reads one entry: a numeric IPv4 or IPv6 address (an IPv6 one with an optional scope,
// "fe80::1%eth0" or "fe80::1%2"), or a name that could be an interface's. Anything else is
// refused with a reason. An entry that holds ':' or '%', or only digits and dots, is an address.
bool ParseListenEntry(std::string_view text, ListenEntry& entry, std::string& reason);

// Keeps of `addresses` (as LookupHostAddresses gives them) those that an entry stands for on
// some interface that holds them (`held`), in their order. `matched[e]` becomes true for each
// entry e that stands for at least one of the addresses offered.
void KeepListened(std::span<const ListenEntry> entries,
                  std::span<const platform::InterfaceAddress> held,
                  std::vector<platform::SocketAddress>& addresses, std::vector<bool>& matched);

// Keeps of the addresses found (each family in the order that decides which are served) those
// that `entries` stand for, and with `report` reports each entry that stands for none of them
// (EVENT_LISTEN_ADDRESS_ABSENT). No entries keep every address. False when the interfaces'
// addresses cannot be listed.
bool KeepListenedAddresses(std::span<const ListenEntry> entries,
                           std::vector<platform::SocketAddress>& ipv4,
                           std::vector<platform::SocketAddress>& ipv6, bool report = true);

}  // namespace quoril
