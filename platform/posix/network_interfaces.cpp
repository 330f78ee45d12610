#include "platform/network_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/error_mapping.h"

namespace quoril::platform {

namespace {

// Whether the interface address `entry` is `address`: same family, host and, for IPv6, scope.
bool Holds(const sockaddr* entry, const SocketAddress& address) {
  if (entry->sa_family == AF_INET && !address.IsIPv6()) {
    sockaddr_in inet{};
    std::memcpy(&inet, entry, sizeof inet);
    return inet.sin_addr.s_addr == address.IPv4();
  }
  if (entry->sa_family == AF_INET6 && address.IsIPv6()) {
    sockaddr_in6 inet6{};
    std::memcpy(&inet6, entry, sizeof inet6);
    return std::memcmp(&inet6.sin6_addr, address.Host().data(), 16) == 0 &&
           inet6.sin6_scope_id == address.Scope();
  }
  return false;
}

}  // namespace

Win32Error GetInterfaceMtu(const SocketAddress& address, std::uint32_t& mtu) {
  mtu = 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return Win32ErrorFromErrno(errno);
  ifreq request{};
  bool found = false;
  for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || !Holds(entry->ifa_addr, address)) continue;
    std::strncpy(request.ifr_name, entry->ifa_name, sizeof request.ifr_name - 1);
    found = true;
  }
  freeifaddrs(list);
  if (!found) return ERROR_NOT_FOUND;

  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return Win32ErrorFromErrno(errno);
  const int result = ioctl(probe, SIOCGIFMTU, &request);
  const int error = errno;
  close(probe);
  if (result != 0) return Win32ErrorFromErrno(error);
  mtu = request.ifr_mtu > 0 ? static_cast<std::uint32_t>(request.ifr_mtu) : 0;
  return ERROR_SUCCESS;
}

Win32Error GetInterfaceName(std::uint32_t index, InterfaceNameText& name) {
  static_assert(sizeof(InterfaceNameText) >= IF_NAMESIZE);
  name[0] = '\0';
  if (if_indextoname(index, name.data()) == nullptr) return ERROR_NOT_FOUND;
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
