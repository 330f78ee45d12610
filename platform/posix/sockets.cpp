// Byte order, and this host's name and addresses.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/posix/error_mapping.h"

namespace quoril::platform {

const std::uint16_t kAddressFamilyInet6 = AF_INET6;

std::uint16_t HostToNetwork16(std::uint16_t value) {
  return htons(value);
}
std::uint16_t NetworkToHost16(std::uint16_t value) {
  return ntohs(value);
}

Win32Error GetHostName(std::span<char> buffer) {
  if (buffer.empty()) return WSAEFAULT;
  if (::gethostname(buffer.data(), buffer.size()) != 0) return WsaErrorFromErrno(errno);
  buffer.back() = '\0';
  return ERROR_SUCCESS;
}

Win32Error LookupHostAddresses(const char*, std::span<SocketAddress> addresses,
                               std::uint32_t& count, HostAddressFamily family) {
  count = 0;
  const int wanted = family == HostAddressFamily::kIPv6 ? AF_INET6 : AF_INET;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return WSAHOST_NOT_FOUND;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != wanted) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    SocketAddress address;
    if (wanted == AF_INET) {
      sockaddr_in inet;
      std::memcpy(&inet, entry->ifa_addr, sizeof inet);
      address = SocketAddress::FromIPv4(inet.sin_addr.s_addr, 0);
    } else {
      sockaddr_in6 inet6;
      std::memcpy(&inet6, entry->ifa_addr, sizeof inet6);
      // The system gives a link-local address its interface's index as its scope.
      const std::uint32_t scope = IN6_IS_ADDR_LINKLOCAL(&inet6.sin6_addr) ? inet6.sin6_scope_id : 0;
      address = SocketAddress::FromIPv6(
          std::span<const std::uint8_t, 16>(inet6.sin6_addr.s6_addr, 16), scope, 0);
    }
    // An address on two interfaces is served once: a second port-69 socket on it cannot bind.
    const auto listed = addresses.first(count);
    if (std::ranges::find(listed, address) != listed.end()) continue;
    if (count == addresses.size()) {
      ::freeifaddrs(list);
      return ERROR_MORE_DATA;
    }
    addresses[count++] = address;
  }
  ::freeifaddrs(list);
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
