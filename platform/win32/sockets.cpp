// Byte order, and this host's name and addresses from the adapters.
#include "platform/sockets.h"

#include "platform/win32/windows_headers.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

const std::uint16_t kAddressFamilyInet6 = AF_INET6;

std::uint16_t HostToNetwork16(std::uint16_t value) {
  return ::htons(value);
}

std::uint16_t NetworkToHost16(std::uint16_t value) {
  return ::ntohs(value);
}

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

// Every address of the family of every adapter that is up, the loopback adapter included,
// in the order the system lists them: the host name's lookup leaves out the loopback address
// and answers whatever a hosts file says.
Win32Error LookupHostAddresses(const char*, std::span<SocketAddress> addresses,
                               std::uint32_t& count, HostAddressFamily family) {
  count = 0;
  const ULONG wanted = family == HostAddressFamily::kIPv6 ? AF_INET6 : AF_INET;
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // In records, so that the buffer has the records' alignment.
  std::vector<IP_ADAPTER_ADDRESSES> list(16);
  ULONG size = 0;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    size = static_cast<ULONG>(list.size() * sizeof(IP_ADAPTER_ADDRESSES));
    result = ::GetAdaptersAddresses(wanted, kFlags, nullptr, list.data(), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
      list.resize(size / sizeof(IP_ADAPTER_ADDRESSES) + 1);
    }
  }
  if (result == ERROR_NO_DATA) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return WSAHOST_NOT_FOUND;
  for (const IP_ADAPTER_ADDRESSES* adapter = list.data(); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != wanted) continue;
      SocketAddress local;
      if (wanted == AF_INET) {
        sockaddr_in inet{};
        std::memcpy(&inet, address, sizeof inet);
        local = SocketAddress::FromIPv4(inet.sin_addr.s_addr, 0);
      } else {
        sockaddr_in6 inet6{};
        std::memcpy(&inet6, address, sizeof inet6);
        const bool linkLocal = IN6_IS_ADDR_LINKLOCAL(&inet6.sin6_addr);
        const std::uint32_t scope = !linkLocal                 ? 0
                                    : inet6.sin6_scope_id != 0 ? inet6.sin6_scope_id
                                                               : adapter->Ipv6IfIndex;
        local = SocketAddress::FromIPv6(
            std::span<const std::uint8_t, 16>(inet6.sin6_addr.s6_addr, 16), scope, 0);
        // Windows binds no address still in duplicate address detection (nor a duplicate) and
        // has no free bind. Such an address is left out, so that a start at boot does not
        // fail for it; it is served from the next start. Tried rather than read from the
        // address's state, which Wine reports as usable all the same.
        SOCKET probe = INVALID_SOCKET;
        const Win32Error bound = OpenBound(local, probe);
        if (bound == ERROR_SUCCESS) ::closesocket(probe);
        if (bound == WSAEADDRNOTAVAIL) continue;
      }
      // An address on two adapters is served once: a second port-69 socket on it cannot bind.
      const auto listed = addresses.first(count);
      if (std::ranges::find(listed, local) != listed.end()) continue;
      if (count == addresses.size()) return ERROR_MORE_DATA;
      addresses[count++] = local;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
