// This host's addresses for the port-69 sockets, taken from the interfaces' list.
#include <algorithm>
#include <vector>

#include "platform/network_interfaces.h"
#include "platform/sockets.h"

namespace quoril::platform {

// Every address of the family of every interface that is up, loopback included, in the order
// the system lists them: a lookup of the host name would leave out the loopback address and
// answer whatever a hosts file says.
Win32Error LookupHostAddresses(std::span<SocketAddress> addresses, std::uint32_t& count,
                               HostAddressFamily family) {
  count = 0;
  std::vector<InterfaceAddress> interfaces;
  if (ListInterfaceAddresses(interfaces) != ERROR_SUCCESS) return WSAHOST_NOT_FOUND;
  for (const InterfaceAddress& held : interfaces) {
    if (held.address.IsIPv6() != (family == HostAddressFamily::kIPv6)) continue;
    if (!IsBindableNow(held.address)) continue;
    // An address on two interfaces is served once: a second port-69 socket on it cannot bind.
    const auto listed = addresses.first(count);
    if (std::ranges::find(listed, held.address) != listed.end()) continue;
    if (count == addresses.size()) return ERROR_MORE_DATA;
    addresses[count++] = held.address;
  }
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
