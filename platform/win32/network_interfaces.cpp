// The adapters' MTUs and the neighbour table over the IP helper.
#include "platform/network_interfaces.h"

#include "platform/win32/windows_headers.h"

#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

namespace {

// Whether the interface address `entry` is `address`: same family, host and scope.
bool Holds(const sockaddr* entry, const SocketAddress& address) {
  if (entry->sa_family == AF_INET && !address.IsIPv6()) {
    sockaddr_in inet{};
    std::memcpy(&inet, entry, sizeof inet);
    return inet.sin_addr.s_addr == address.IPv4();
  }
  if (entry->sa_family == AF_INET6 && address.IsIPv6()) {
    sockaddr_in6 inet6{};
    std::memcpy(&inet6, entry, sizeof inet6);
    // Only a link-local address has a scope of its own (LookupHostAddresses).
    const std::uint32_t scope = IN6_IS_ADDR_LINKLOCAL(&inet6.sin6_addr) ? inet6.sin6_scope_id : 0;
    return std::memcmp(&inet6.sin6_addr, address.Host().data(), 16) == 0 &&
           scope == address.Scope();
  }
  return false;
}

struct NeighbourTableDeleter {
  void operator()(MIB_IPNET_TABLE2* table) const { ::FreeMibTable(table); }
};

// The adapters and their addresses, the list grown while the system asks for more room.
ULONG ListAdapters(ULONG flags, std::vector<IP_ADAPTER_ADDRESSES>& list) {
  list.resize(16);
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    ULONG size = static_cast<ULONG>(list.size() * sizeof(IP_ADAPTER_ADDRESSES));
    result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, list.data(), &size);
    if (result == ERROR_BUFFER_OVERFLOW) list.resize(size / sizeof(IP_ADAPTER_ADDRESSES) + 1);
  }
  return result;
}

}  // namespace

Win32Error GetHardwareAddress(const SocketAddress& address, HardwareAddress& hardware) {
  hardware = HardwareAddress{};
  MIB_IPNET_TABLE2* raw = nullptr;
  const ULONG result = ::GetIpNetTable2(address.IsIPv6() ? AF_INET6 : AF_INET, &raw);
  if (result != NO_ERROR) return result == ERROR_NOT_FOUND ? ERROR_NOT_FOUND : result;
  const std::unique_ptr<MIB_IPNET_TABLE2, NeighbourTableDeleter> table(raw);
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IPNET_ROW2& row = table->Table[i];
    if (row.State == NlnsUnreachable || row.State == NlnsIncomplete) continue;
    if (row.PhysicalAddressLength == 0 || row.PhysicalAddressLength > hardware.bytes.size()) {
      continue;
    }
    if (!Holds(reinterpret_cast<const sockaddr*>(&row.Address), address) &&
        !(address.IsIPv6() && address.Scope() == 0 &&
          std::memcmp(&row.Address.Ipv6.sin6_addr, address.Host().data(), 16) == 0)) {
      continue;
    }
    std::memcpy(hardware.bytes.data(), row.PhysicalAddress, row.PhysicalAddressLength);
    hardware.length = static_cast<std::uint8_t>(row.PhysicalAddressLength);
    return ERROR_SUCCESS;
  }
  return ERROR_NOT_FOUND;
}

Win32Error GetInterfaceMtu(const SocketAddress& address, std::uint32_t& mtu) {
  mtu = 0;
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                           GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
  std::vector<IP_ADAPTER_ADDRESSES> list;
  const ULONG result = ListAdapters(kFlags, list);
  if (result == ERROR_NO_DATA) return ERROR_NOT_FOUND;
  if (result != ERROR_SUCCESS) return result;
  for (const IP_ADAPTER_ADDRESSES* adapter = list.data(); adapter != nullptr;
       adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* candidate = unicast->Address.lpSockaddr;
      if (candidate == nullptr || !Holds(candidate, address)) continue;
      mtu = adapter->Mtu;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_NOT_FOUND;
}

Win32Error ListInterfaceAddresses(std::vector<InterfaceAddress>& found) {
  found.clear();
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  std::vector<IP_ADAPTER_ADDRESSES> list;
  const ULONG result = ListAdapters(kFlags, list);
  if (result == ERROR_NO_DATA) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  for (const IP_ADAPTER_ADDRESSES* adapter = list.data(); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    std::string name;
    if (adapter->FriendlyName != nullptr) {
      const int size = ::WideCharToMultiByte(CP_UTF8, 0, adapter->FriendlyName, -1, nullptr, 0,
                                             nullptr, nullptr);
      if (size > 1) {
        name.resize(static_cast<std::size_t>(size));
        ::WideCharToMultiByte(CP_UTF8, 0, adapter->FriendlyName, -1, name.data(), size, nullptr,
                              nullptr);
        name.resize(static_cast<std::size_t>(size - 1));
      }
    }
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      InterfaceAddress held;
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || !SocketAddress::FromNative(address, held.address)) continue;
      if (held.address.IsIPv6()) {
        sockaddr_in6 inet6{};
        std::memcpy(&inet6, address, sizeof inet6);
        // Scoped as LookupHostAddresses scopes it: a link-local address by its interface.
        const std::uint32_t scope = !IN6_IS_ADDR_LINKLOCAL(&inet6.sin6_addr) ? 0
                                    : inet6.sin6_scope_id != 0               ? inet6.sin6_scope_id
                                                                             : adapter->Ipv6IfIndex;
        held.address = SocketAddress::FromIPv6(
            std::span<const std::uint8_t, 16>(inet6.sin6_addr.s6_addr, 16), scope, 0);
        held.index = adapter->Ipv6IfIndex;
      } else {
        held.address.SetPort(0);
        held.index = adapter->IfIndex;
      }
      held.name = name;
      found.push_back(std::move(held));
    }
  }
  return ERROR_SUCCESS;
}

bool IsBindableNow(const SocketAddress& address) {
  if (!address.IsIPv6()) return true;
  // Windows binds no address still in duplicate address detection (nor a duplicate) and has
  // no free bind. Tried rather than read from the address's state, which Wine reports as
  // usable all the same.
  SOCKET probe = INVALID_SOCKET;
  const Win32Error bound = OpenBound(address, probe);
  if (bound == ERROR_SUCCESS) ::closesocket(probe);
  return bound != WSAEADDRNOTAVAIL;
}

bool IsInterfaceName(std::string_view name) {
  constexpr std::size_t kMostCharacters = 256;
  return !name.empty() && name.size() <= kMostCharacters &&
         std::none_of(name.begin(), name.end(), [](char c) {
           return c == '%' || (static_cast<unsigned char>(c) < ' ') || c == 0x7F;
         });
}

Win32Error GetInterfaceName(std::uint32_t, InterfaceNameText& name) {
  // Windows writes a scope as the interface's number.
  name[0] = '\0';
  return ERROR_NOT_SUPPORTED;
}

}  // namespace quoril::platform
