// Address changes from the kernel's routing socket: the multicast groups of IPv4 and IPv6
// addresses, read without waiting.
#include "platform/address_watcher.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/posix/error_mapping.h"
#include "platform/posix/unique_fd.h"

namespace quoril::platform {

namespace {

// Room for a burst of changes (an interface with many addresses going down at once) between
// two drains; beyond it the kernel drops them and says so (ENOBUFS).
constexpr int kReceiveBuffer = 1 << 20;

bool IsLinkLocal(const std::uint8_t* host) {
  return host[0] == 0xFE && (host[1] & 0xC0) == 0x80;
}

// One notification as a record; false for anything but an address of IPv4 or IPv6.
bool ChangeFrom(const nlmsghdr* message, AddressChange& change) {
  if ((message->nlmsg_type != RTM_NEWADDR && message->nlmsg_type != RTM_DELADDR) ||
      message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
    return false;
  }
  const auto* entry = static_cast<const ifaddrmsg*>(NLMSG_DATA(message));
  const std::size_t size = entry->ifa_family == AF_INET    ? 4
                           : entry->ifa_family == AF_INET6 ? 16
                                                           : 0;
  if (size == 0) return false;
  std::uint32_t flags = entry->ifa_flags;
  // IFA_LOCAL is the address itself; IFA_ADDRESS is it too, except on a point-to-point link,
  // where it is the peer's.
  const void* local = nullptr;
  const void* address = nullptr;
  int left = static_cast<int>(IFA_PAYLOAD(message));
  for (const rtattr* attribute = IFA_RTA(entry); RTA_OK(attribute, left);
       attribute = RTA_NEXT(attribute, left)) {
    const std::size_t length = RTA_PAYLOAD(attribute);
    if (attribute->rta_type == IFA_LOCAL && length == size) local = RTA_DATA(attribute);
    if (attribute->rta_type == IFA_ADDRESS && length == size) address = RTA_DATA(attribute);
    if (attribute->rta_type == IFA_FLAGS && length == sizeof flags) {
      std::memcpy(&flags, RTA_DATA(attribute), sizeof flags);
    }
  }
  const void* host = local != nullptr ? local : address;
  if (host == nullptr) return false;
  change.added = message->nlmsg_type == RTM_NEWADDR;
  change.interfaceIndex = entry->ifa_index;
  change.tentative = (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) != 0;
  if (size == 4) {
    std::uint32_t inet = 0;
    std::memcpy(&inet, host, sizeof inet);
    change.address = SocketAddress::FromIPv4(inet, 0);
  } else {
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), host, bytes.size());
    change.address =
        SocketAddress::FromIPv6(bytes, IsLinkLocal(bytes.data()) ? entry->ifa_index : 0, 0);
  }
  return true;
}

}  // namespace

struct AddressWatcher::State {
  UniqueFd route;
};

AddressWatcher::AddressWatcher() : state_(std::make_unique<State>()) {}

AddressWatcher::~AddressWatcher() = default;

Win32Error AddressWatcher::Open(bool ipv6) {
  Close();
  UniqueFd route(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  if (!route.Valid()) return WsaErrorFromErrno(errno);
  const int size = kReceiveBuffer;
  ::setsockopt(route.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR | (ipv6 ? RTMGRP_IPV6_IFADDR : 0);
  if (::bind(route.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return WsaErrorFromErrno(errno);
  }
  state_->route = std::move(route);
  return ERROR_SUCCESS;
}

bool AddressWatcher::IsOpen() const {
  return state_->route.Valid();
}

void AddressWatcher::Close() {
  state_->route = UniqueFd();
}

std::intptr_t AddressWatcher::NativeHandle() const {
  return state_->route.Valid() ? state_->route.Get() : -1;
}

Win32Error AddressWatcher::Wait(std::uint32_t timeoutMilliseconds, bool& ready) {
  ready = false;
  if (!IsOpen()) return WSAENOTSOCK;
  pollfd watched{state_->route.Get(), POLLIN, 0};
  const int timeout = static_cast<int>(std::min<std::uint32_t>(timeoutMilliseconds, INT_MAX));
  const int n = ::poll(&watched, 1, timeout);
  if (n < 0 && errno != EINTR) return WsaErrorFromErrno(errno);
  ready = n > 0;
  return ERROR_SUCCESS;
}

Win32Error AddressWatcher::Drain(std::vector<AddressChange>& changes, bool& lost) {
  if (!IsOpen()) return WSAENOTSOCK;
  alignas(nlmsghdr) std::array<std::uint8_t, 16384> buffer;
  for (;;) {
    sockaddr_nl from{};
    socklen_t fromLength = sizeof from;
    const ssize_t received =
        ::recvfrom(state_->route.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return ERROR_SUCCESS;
      if (errno == EINTR) continue;
      if (errno != ENOBUFS) return WsaErrorFromErrno(errno);
      lost = true;
      continue;
    }
    // Only the kernel speaks for the addresses.
    if (from.nl_pid != 0) continue;
    auto left = static_cast<std::uint32_t>(received);
    for (const auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data());
         NLMSG_OK(message, left); message = NLMSG_NEXT(message, left)) {
      AddressChange change;
      if (ChangeFrom(message, change)) changes.push_back(change);
    }
  }
}

}  // namespace quoril::platform
