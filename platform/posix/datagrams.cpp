#include "platform/posix/sockets_backend.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/error_mapping.h"
#include "platform/posix/failure_detail.h"

namespace quoril::platform {

namespace {

// A SocketAddress is the system's own structure: it goes to and from the calls as it is.
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == sizeof(SocketAddress));

// Every datagram of a transfer goes through this and ReceiveOne. The C library's recvfrom
// and sendto are cancellation points: in a process of several threads each call marks the
// thread cancellable and back, two atomic operations that nothing here needs (no thread is
// ever cancelled), a few per cent of the processor time of a busy server.
ssize_t SendCall(int fd, const void* packet, std::size_t size, const sockaddr* to,
                 std::size_t toLength) {
  return ::syscall(SYS_sendto, fd, packet, size, 0, to, toLength);
}

// A receive that also answers when the datagram arrived: the kernel's stamp (SO_TIMESTAMPNS,
// on the system's real-time clock) moved to the steady clock by its age; the time of the
// read for a datagram that carries none.
ssize_t ReceiveStamped(int fd, std::span<std::uint8_t> buffer, int flags, sockaddr_in6& sender,
                       socklen_t& senderLength, ArrivalClock::time_point& arrived) {
  iovec part{buffer.data(), buffer.size()};
  alignas(cmsghdr) std::array<unsigned char, CMSG_SPACE(sizeof(timespec))> control{};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = senderLength;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  const ssize_t n = ::syscall(SYS_recvmsg, fd, &message, flags);
  arrived = ArrivalClock::now();
  if (n < 0) return n;
  senderLength = message.msg_namelen;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - stamp.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - stamp.tv_nsec);
    // A clock set back meanwhile makes it look younger than now: it counts as just arrived.
    if (age > ArrivalClock::duration::zero()) {
      arrived -= std::chrono::duration_cast<ArrivalClock::duration>(age);
    }
  }
  return n;
}

ssize_t ReceiveOne(int fd, std::span<std::uint8_t> buffer, int flags, sockaddr_in6& sender,
                   socklen_t& senderLength, ArrivalClock::time_point* arrived) {
  if (arrived != nullptr) return ReceiveStamped(fd, buffer, flags, sender, senderLength, *arrived);
  return ::syscall(SYS_recvfrom, fd, buffer.data(), buffer.size(), flags,
                   reinterpret_cast<sockaddr*>(&sender), &senderLength);
}

}  // namespace

Win32Error OpenBound(const SocketAddress& address, int& fd) {
  ClearFailureDetail();
  const int family = address.IsIPv6() ? AF_INET6 : AF_INET;
  fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    NoteFailureDetail(std::string("cannot create a UDP socket: ") + std::strerror(errno));
    return WsaErrorFromErrno(errno);
  }
  if (family == AF_INET6) {
    // IPv4 is served by sockets of its own, never through mapped addresses.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    // An address still in duplicate address detection (a second or so after its interface
    // came up, as at boot) refuses a bind with EADDRNOTAVAIL. Bound freely, the socket starts
    // receiving once the address is usable, and a start at boot does not fail for it. Kernels
    // before 4.15 know the IPv4 option only, which IPv6 sockets honour as well.
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_FREEBIND, &on, sizeof on) != 0) {
      ::setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &on, sizeof on);
    }
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address),
             static_cast<socklen_t>(address.Length())) != 0) {
    const int error = errno;
    ::close(fd);
    fd = -1;
    HostText text{};
    FormatHost(address, text);
    const bool bracketed = address.IsIPv6();
    NoteFailureDetail("cannot bind UDP " + std::string(bracketed ? "[" : "") + text.data() +
                      (bracketed ? "]" : "") + ":" + std::to_string(address.Port()) + ": " +
                      std::strerror(error));
    return WsaErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

Win32Error SendDatagram(int fd, std::span<const std::uint8_t> packet, const SocketAddress& to) {
  for (;;) {
    const ssize_t n = SendCall(fd, packet.data(), packet.size(),
                               reinterpret_cast<const sockaddr*>(&to), to.Length());
    if (n >= 0) return ERROR_SUCCESS;
    if (errno != EINTR) return WsaErrorFromErrno(errno);
  }
}

Win32Error ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from, ArrivalClock::time_point* arrived, bool* gotOne) {
  // MSG_TRUNC answers the datagram's real size, so that a datagram too large for the buffer
  // fails as on Windows instead of arriving cut.
  const int flags = gotOne != nullptr ? MSG_TRUNC | MSG_DONTWAIT : MSG_TRUNC;
  for (;;) {
    sockaddr_in6 sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t n = ReceiveOne(fd, buffer, flags, sender, senderLength, arrived);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (gotOne != nullptr && (errno == EAGAIN || errno == EWOULDBLOCK)) return ERROR_SUCCESS;
      received = 0;
      return WsaErrorFromErrno(errno);
    }
    if (gotOne != nullptr) {
      // A socket shut down for reading answers without a sender: no datagram at all.
      if (senderLength == 0) return ERROR_SUCCESS;
      *gotOne = true;
    }
    received = static_cast<std::size_t>(n);
    SocketAddress::FromNative(&sender, from);
    return received > buffer.size() ? WSAEMSGSIZE : ERROR_SUCCESS;
  }
}

}  // namespace quoril::platform
