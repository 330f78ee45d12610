#include "platform/network_interfaces.h"

#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/posix/error_mapping.h"
#include "platform/posix/unique_fd.h"

namespace quoril::platform {

namespace {

// Whether the interface address `entry` is `address`: same family, host and scope.
bool Holds(const sockaddr* entry, const SocketAddress& address) {
  SocketAddress held;
  return SocketAddress::FromNative(entry, held) && SameHost(held, address);
}

// What a neighbour entry of a dump says, when it is the host looked for and usable.
bool MatchNeighbour(const nlmsghdr* message, const SocketAddress& address,
                    HardwareAddress& hardware) {
  if (message->nlmsg_type != RTM_NEWNEIGH || message->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) {
    return false;
  }
  const auto* entry = static_cast<const ndmsg*>(NLMSG_DATA(message));
  // An entry being resolved or that failed to resolve has no address to trust.
  if ((entry->ndm_state & (NUD_INCOMPLETE | NUD_FAILED | NUD_NOARP)) != 0) return false;
  if (address.IsIPv6() && address.Scope() != 0 &&
      static_cast<std::uint32_t>(entry->ndm_ifindex) != address.Scope()) {
    return false;
  }
  const std::span<const std::uint8_t> host = address.Host();
  bool sameHost = false;
  HardwareAddress found;
  int left = static_cast<int>(RTM_PAYLOAD(message));
  for (const rtattr* attribute = RTM_RTA(entry); RTA_OK(attribute, left);
       attribute = RTA_NEXT(attribute, left)) {
    const std::size_t size = RTA_PAYLOAD(attribute);
    if (attribute->rta_type == NDA_DST) {
      sameHost = size == host.size() && std::memcmp(RTA_DATA(attribute), host.data(), size) == 0;
    } else if (attribute->rta_type == NDA_LLADDR && size > 0 && size <= found.bytes.size()) {
      std::memcpy(found.bytes.data(), RTA_DATA(attribute), size);
      found.length = static_cast<std::uint8_t>(size);
    }
  }
  if (!sameHost || found.length == 0) return false;
  hardware = found;
  return true;
}

}  // namespace

Win32Error GetHardwareAddress(const SocketAddress& address, HardwareAddress& hardware) {
  hardware = HardwareAddress{};
  // The kernel's neighbour table for the address's family, asked for whole (a dump): no
  // filter by address exists for it.
  const UniqueFd route(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!route.Valid()) return Win32ErrorFromErrno(errno);
  struct {
    nlmsghdr header;
    ndmsg body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETNEIGH;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.body.ndm_family = address.IsIPv6() ? AF_INET6 : AF_INET;
  if (send(route.Get(), &request, sizeof request, 0) < 0) return Win32ErrorFromErrno(errno);
  alignas(nlmsghdr) std::array<std::uint8_t, 16384> buffer;
  bool found = false;
  while (true) {
    const ssize_t received = recv(route.Get(), buffer.data(), buffer.size(), 0);
    if (received < 0) return Win32ErrorFromErrno(errno);
    auto left = static_cast<std::uint32_t>(received);
    for (const auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data());
         NLMSG_OK(message, left); message = NLMSG_NEXT(message, left)) {
      if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) {
        return found ? ERROR_SUCCESS : ERROR_NOT_FOUND;
      }
      if (!found) found = MatchNeighbour(message, address, hardware);
    }
    if (received == 0) return found ? ERROR_SUCCESS : ERROR_NOT_FOUND;
  }
}

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

  const UniqueFd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.Valid() || ioctl(probe.Get(), SIOCGIFMTU, &request) != 0) {
    return Win32ErrorFromErrno(errno);
  }
  mtu = request.ifr_mtu > 0 ? static_cast<std::uint32_t>(request.ifr_mtu) : 0;
  return ERROR_SUCCESS;
}

Win32Error ListInterfaceAddresses(std::vector<InterfaceAddress>& found) {
  found.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return Win32ErrorFromErrno(errno);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    InterfaceAddress held;
    if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
        !SocketAddress::FromNative(entry->ifa_addr, held.address)) {
      continue;
    }
    held.address.SetPort(0);
    // Only a link-local address keeps a scope: its interface's index, as the system gives it.
    if (held.address.IsIPv6() &&
        !(held.address.Host()[0] == 0xFE && (held.address.Host()[1] & 0xC0) == 0x80)) {
      held.address = SocketAddress::FromIPv6(
          std::span<const std::uint8_t, 16>(held.address.Host().data(), 16), 0, 0);
    }
    // An IPv4 address may carry a label ("eth0:1"): the interface is what precedes the colon.
    held.name = entry->ifa_name;
    held.name.resize(std::min(held.name.find(':'), held.name.size()));
    held.index = if_nametoindex(held.name.c_str());
    found.push_back(std::move(held));
  }
  freeifaddrs(list);
  return ERROR_SUCCESS;
}

bool IsBindableNow(const SocketAddress&) {
  return true;
}

bool IsInterfaceName(std::string_view name) {
  if (name.empty() || name.size() >= IF_NAMESIZE || name == "." || name == "..") return false;
  return std::ranges::none_of(name, [](char c) {
    return c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' ' || c == 0x7F;
  });
}

Win32Error GetInterfaceName(std::uint32_t index, InterfaceNameText& name) {
  static_assert(sizeof(InterfaceNameText) >= IF_NAMESIZE);
  name[0] = '\0';
  if (if_indextoname(index, name.data()) == nullptr) return ERROR_NOT_FOUND;
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
