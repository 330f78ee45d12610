#include "platform/sockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/event_poller.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/failure_detail.h"
#include "platform/posix/sockets_backend.h"

namespace quoril::platform {

const std::uint16_t kAddressFamilyInet6 = AF_INET6;

namespace {

// A SocketAddress holds the system's own structure, so that it goes to and from the calls
// as it is.
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == sizeof(SocketAddress));

struct NativeAddress {
  explicit NativeAddress(const SocketAddress& address)
      : length(static_cast<socklen_t>(address.ToNative(&storage))) {}
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sockaddr_in6 storage{};  // room for either family
  socklen_t length = 0;
};

SocketAddress FromNative(const sockaddr_in6& native) {
  SocketAddress address;
  SocketAddress::FromNative(&native, address);
  return address;
}

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
  const NativeAddress local(address);
  if (::bind(fd, local.get(), local.length) != 0) {
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

// Every datagram of a transfer goes through these two. The C library's recvfrom and sendto
// are cancellation points: in a process of several threads each call marks the thread
// cancellable and back, two atomic operations that nothing here needs (no thread is ever
// cancelled), a few per cent of the processor time of a busy server.
ssize_t ReceiveCall(int fd, void* buffer, std::size_t size, int flags, sockaddr* from,
                    socklen_t* fromLength) {
  return ::syscall(SYS_recvfrom, fd, buffer, size, flags, from, fromLength);
}

ssize_t SendCall(int fd, const void* packet, std::size_t size, const sockaddr* to,
                 socklen_t toLength) {
  return ::syscall(SYS_sendto, fd, packet, size, 0, to, toLength);
}

Win32Error SendDatagram(int fd, std::span<const std::uint8_t> packet, const SocketAddress& to) {
  const NativeAddress destination(to);
  for (;;) {
    const ssize_t n =
        SendCall(fd, packet.data(), packet.size(), destination.get(), destination.length);
    if (n >= 0) return ERROR_SUCCESS;
    if (errno != EINTR) return WsaErrorFromErrno(errno);
  }
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
  return ReceiveCall(fd, buffer.data(), buffer.size(), flags, reinterpret_cast<sockaddr*>(&sender),
                     &senderLength);
}

Win32Error ReceiveDatagram(int fd, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from, ArrivalClock::time_point* arrived = nullptr) {
  for (;;) {
    sockaddr_in6 sender{};
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC answers the datagram's real size, so that a datagram too large for the
    // buffer fails as on Windows instead of arriving cut.
    const ssize_t n = ReceiveOne(fd, buffer, MSG_TRUNC, sender, senderLength, arrived);
    if (n < 0) {
      if (errno == EINTR) continue;
      received = 0;
      return WsaErrorFromErrno(errno);
    }
    received = static_cast<std::size_t>(n);
    from = FromNative(sender);
    return received > buffer.size() ? WSAEMSGSIZE : ERROR_SUCCESS;
  }
}

Win32Error TryReceiveDatagram(int fd, std::span<std::uint8_t> buffer, std::size_t& received,
                              SocketAddress& from, bool& gotOne,
                              ArrivalClock::time_point* arrived = nullptr) {
  for (;;) {
    sockaddr_in6 sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t n =
        ReceiveOne(fd, buffer, MSG_TRUNC | MSG_DONTWAIT, sender, senderLength, arrived);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return ERROR_SUCCESS;
      return WsaErrorFromErrno(errno);
    }
    // A socket shut down for reading answers without a sender: no datagram at all.
    if (senderLength == 0) return ERROR_SUCCESS;
    gotOne = true;
    received = static_cast<std::size_t>(n);
    from = FromNative(sender);
    return received > buffer.size() ? WSAEMSGSIZE : ERROR_SUCCESS;
  }
}

// The transfer sockets that CancelTransferWaits must wake, marked by descriptor number.
// Never destroyed: transfer threads may still close sockets while the process ends.
class TransferSockets {
 public:
  static TransferSockets& Get() {
    alignas(TransferSockets) static unsigned char storage[sizeof(TransferSockets)];
    static TransferSockets* const sockets = ::new (storage) TransferSockets();
    return *sockets;
  }

  void Mark(int fd, bool open) {
    if (fd >= 0 && static_cast<std::size_t>(fd) < marks_.size()) marks_[fd].store(open);
  }
  bool Cancelled() const { return cancelled_.load(); }

  void Cancel() {
    cancelled_.store(true);
    // A blocked receive returns at once on a socket shut down for reading. A descriptor
    // closed and reused meanwhile is at worst another transfer socket, or no socket at all.
    for (std::size_t fd = 0; fd < marks_.size(); ++fd) {
      if (marks_[fd].load()) ::shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
  }

 private:
  TransferSockets() : marks_(DescriptorLimit()) {}

  static std::size_t DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_max, 1 << 20));
  }

  std::atomic<bool> cancelled_{false};
  std::vector<std::atomic<bool>> marks_;
};

// Changing a socket's receive timeout costs a system call. A wait that ends at most this much
// later than asked keeps the timeout the socket has, so that the waits of a transfer, each a
// little shorter than the last while strangers or repeated packets come in, or begun a moment
// after their deadline was set, rarely change it.
constexpr std::uint32_t kTimeoutSlackMilliseconds = 50;

// The largest UDP payload that fits the smallest MTU a path may learn (552 bytes, the system's
// floor) with the IPv4 and UDP headers.
constexpr std::size_t kLargestNeverFragmented = 552 - 20 - 8;

// Port-69 sockets take bursts of requests while the listener hands each over; a larger
// receive buffer keeps the kernel from dropping them meanwhile.
constexpr int kPortReceiveBuffer = 4 << 20;

void EnlargeReceiveBuffer(int fd) {
  int size = kPortReceiveBuffer;
  // Beyond the system's limit needs privilege; without it the limit is what we get.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
}

}  // namespace

std::uint16_t HostToNetwork16(std::uint16_t value) {
  return htons(value);
}
std::uint16_t NetworkToHost16(std::uint16_t value) {
  return ntohs(value);
}

Win32Error SocketsStartup(bool) {
  TransferSockets::Get();
  return ERROR_SUCCESS;
}

Win32Error SocketsCleanup() {
  return ERROR_SUCCESS;
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

void CancelTransferWaits() {
  TransferSockets::Get().Cancel();
}

void IncludeInTransferWaitCancel(int fd, bool included) {
  TransferSockets::Get().Mark(fd, included);
}

// UdpSocket

UdpSocket::~UdpSocket() {
  Close();
}

Win32Error UdpSocket::Open(const SocketAddress& local) {
  Close();
  int fd = -1;
  const Win32Error error = OpenBound(local, fd);
  handle_ = fd;
  TransferSockets::Get().Mark(fd, true);
  // An IPv4 datagram that may be fragmented needs an identification of its own, which the
  // system draws from a table shared by the whole host: a few per cent of the processor time
  // of every block. One that is never fragmented carries none. A transfer's datagrams are
  // small (516 bytes) unless a larger block is negotiated: until then they go as never
  // fragmented, which no path refuses (no learned MTU is below 552 bytes; a route configured
  // below that is met by SendTo).
  if (error == ERROR_SUCCESS && !local.IsIPv6()) {
    const int never = IP_PMTUDISC_DO;
    neverFragmented_ = ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &never, sizeof never) == 0;
  }
  return error;
}

void UdpSocket::Close() {
  if (handle_ >= 0) {
    TransferSockets::Get().Mark(static_cast<int>(handle_), false);
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
  receiveTimeout_ = 0;
  neverFragmented_ = false;
}

Win32Error UdpSocket::SendTo(std::span<const std::uint8_t> packet, const SocketAddress& to) const {
  if (handle_ < 0) return WSAENOTSOCK;
  const int fd = static_cast<int>(handle_);
  // From the first datagram that a path could need to fragment on, the path's MTU decides, as
  // for any socket; so it does after a refusal (a route configured below the floor).
  const auto fragmentable = [&] {
    const int want = IP_PMTUDISC_WANT;
    ::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &want, sizeof want);
    neverFragmented_ = false;
  };
  if (neverFragmented_ && packet.size() > kLargestNeverFragmented) fragmentable();
  Win32Error error = SendDatagram(fd, packet, to);
  if (error == WSAEMSGSIZE && neverFragmented_) {
    fragmentable();
    error = SendDatagram(fd, packet, to);
  }
  return error;
}

Win32Error UdpSocket::ReceiveFrom(std::span<std::uint8_t> buffer, std::size_t& received,
                                  SocketAddress& from) const {
  if (handle_ < 0) return WSAENOTSOCK;
  return ReceiveDatagram(static_cast<int>(handle_), buffer, received, from);
}

Win32Error UdpSocket::ReceiveWithin(std::uint32_t timeoutMilliseconds,
                                    std::span<std::uint8_t> buffer, std::size_t& received,
                                    SocketAddress& from, WaitResult& result) {
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  const int fd = static_cast<int>(handle_);
  TransferSockets& sockets = TransferSockets::Get();
  if (sockets.Cancelled()) {
    result = WaitResult::kCancelled;
    return ERROR_SUCCESS;
  }
  // One blocking receive with the socket's own timeout: no separate wait per packet.
  int flags = MSG_TRUNC;
  if (timeoutMilliseconds == 0) {
    flags |= MSG_DONTWAIT;
  } else if (timeoutMilliseconds > receiveTimeout_ ||
             timeoutMilliseconds + kTimeoutSlackMilliseconds < receiveTimeout_) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeoutMilliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeoutMilliseconds % 1000) * 1000;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
      return WsaErrorFromErrno(errno);
    }
    receiveTimeout_ = timeoutMilliseconds;
  }
  for (;;) {
    sockaddr_in6 sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t n = ReceiveCall(fd, buffer.data(), buffer.size(), flags,
                                  reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        result = sockets.Cancelled() ? WaitResult::kCancelled : WaitResult::kTimeout;
        return ERROR_SUCCESS;
      }
      return WsaErrorFromErrno(errno);
    }
    // A socket shut down by the cancel answers with nothing at all.
    if (n == 0 && sockets.Cancelled()) {
      result = WaitResult::kCancelled;
      return ERROR_SUCCESS;
    }
    result = WaitResult::kReady;
    received = static_cast<std::size_t>(n);
    from = FromNative(sender);
    return received > buffer.size() ? WSAEMSGSIZE : ERROR_SUCCESS;
  }
}

Win32Error UdpSocket::TryReceive(std::span<std::uint8_t> buffer, std::size_t& received,
                                 SocketAddress& from, bool& gotOne) const {
  gotOne = false;
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  return TryReceiveDatagram(static_cast<int>(handle_), buffer, received, from, gotOne);
}

std::uint16_t UdpSocket::LocalPort() const {
  // The port stands at the same place in both families' structures.
  sockaddr_in6 local{};
  socklen_t length = sizeof local;
  if (handle_ < 0 ||
      ::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin6_port);
}

// PortSocketSet

struct PortSocketSet::State {
  // Descriptors are opened and closed by the owning (listener) thread only, while no loop
  // watches them; the loops read them meanwhile.
  std::array<int, kCapacity> fds;
  // Wakes the owner's wait when a control arrives.
  int wakeFd = -1;
  // Written by the control thread, read by the owner and the loops, under `mutex`.
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool stopRequested = false;
  ArrivalClock::time_point released{};
  // Registered by the listener before the loops start; woken by every control.
  std::array<EventPoller*, kMaxObservers> observers{};
  std::uint32_t observerCount = 0;

  // Under `mutex`.
  void Signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(wakeFd, &one, sizeof one);
    for (std::uint32_t k = 0; k < observerCount; ++k) observers[k]->Wake();
  }
};

PortSocketSet::PortSocketSet() : state_(std::make_unique<State>()) {
  state_->fds.fill(-1);
  state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PortSocketSet::~PortSocketSet() {
  for (std::uint32_t k = 0; k < kCapacity; ++k) Close(k);
  if (state_->wakeFd >= 0) ::close(state_->wakeFd);
}

Win32Error PortSocketSet::Open(std::uint32_t index, const SocketAddress& local) {
  if (index >= kCapacity) return WSAEINVAL;
  Close(index);
  const Win32Error error = OpenBound(local, state_->fds[index]);
  if (error == ERROR_SUCCESS) {
    EnlargeReceiveBuffer(state_->fds[index]);
    // Each request carries when it arrived, so that one that waited too long is let go.
    const int on = 1;
    ::setsockopt(state_->fds[index], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  }
  return error;
}

bool PortSocketSet::IsOpen(std::uint32_t index) const {
  return index < kCapacity && state_->fds[index] >= 0;
}

void PortSocketSet::Close(std::uint32_t index) {
  if (index < kCapacity && state_->fds[index] >= 0) {
    ::close(state_->fds[index]);
    state_->fds[index] = -1;
  }
}

Win32Error PortSocketSet::Wait(ReadSet& set) {
  if (set.none()) return WSAEINVAL;
  for (;;) {
    {
      std::unique_lock lock(state_->mutex);
      state_->changed.wait(lock, [this] { return !state_->held || state_->stopRequested; });
      if (state_->stopRequested) {
        // The stop closes the sockets here, on their owner's thread, where Windows would
        // close them under the waiting select; the receive then fails with WSAENOTSOCK.
        lock.unlock();
        for (std::uint32_t k = 0; k < kCapacity; ++k) Close(k);
        return ERROR_SUCCESS;
      }
    }
    std::array<pollfd, kCapacity + 1> watched;
    std::array<std::uint32_t, kCapacity> indexOf;
    std::size_t used = 0;
    for (std::uint32_t k = 0; k < kCapacity; ++k) {
      if (!set.test(k)) continue;
      if (state_->fds[k] < 0) return WSAENOTSOCK;
      watched[used] = {state_->fds[k], POLLIN, 0};
      indexOf[used] = k;
      ++used;
    }
    watched[used] = {state_->wakeFd, POLLIN, 0};
    const int n = ::poll(watched.data(), used + 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WsaErrorFromErrno(errno);
    }
    if (watched[used].revents != 0) {
      std::uint64_t drained;
      [[maybe_unused]] const ssize_t r = ::read(state_->wakeFd, &drained, sizeof drained);
      continue;  // a control arrived: look at it before taking anything
    }
    ReadSet ready;
    for (std::size_t i = 0; i < used; ++i) {
      if (watched[i].revents != 0) ready.set(indexOf[i]);
    }
    if (ready.none()) continue;
    {
      // A pause that came while the wait was returning still holds the listener.
      std::lock_guard lock(state_->mutex);
      if (state_->held || state_->stopRequested) continue;
    }
    set = ready;
    return ERROR_SUCCESS;
  }
}

Win32Error PortSocketSet::Receive(std::uint32_t index, std::span<std::uint8_t> buffer,
                                  std::size_t& received, SocketAddress& from,
                                  ArrivalClock::time_point* arrived) {
  received = 0;
  if (index >= kCapacity || state_->fds[index] < 0) return WSAENOTSOCK;
  return ReceiveDatagram(state_->fds[index], buffer, received, from, arrived);
}

Win32Error PortSocketSet::TryReceive(std::uint32_t index, std::span<std::uint8_t> buffer,
                                     std::size_t& received, SocketAddress& from, bool& gotOne,
                                     ArrivalClock::time_point* arrived) const {
  gotOne = false;
  received = 0;
  if (index >= kCapacity || state_->fds[index] < 0) return WSAENOTSOCK;
  return TryReceiveDatagram(state_->fds[index], buffer, received, from, gotOne, arrived);
}

bool PortSocketSet::AnyQueued() const {
  std::array<pollfd, kCapacity> watched;
  std::size_t used = 0;
  for (const int fd : state_->fds) {
    if (fd >= 0) watched[used++] = {fd, POLLIN, 0};
  }
  return used > 0 && ::poll(watched.data(), used, 0) > 0;
}

Win32Error PortSocketSet::SendTo(std::uint32_t index, std::span<const std::uint8_t> packet,
                                 const SocketAddress& to) const {
  if (index >= kCapacity || state_->fds[index] < 0) return WSAENOTSOCK;
  return SendDatagram(state_->fds[index], packet, to);
}

std::intptr_t PortSocketSet::NativeHandle(std::uint32_t index) const {
  return index < kCapacity ? state_->fds[index] : -1;
}

Win32Error PortSocketSet::AddObserver(EventPoller& poller) {
  std::lock_guard lock(state_->mutex);
  if (state_->observerCount == kMaxObservers) return WSAENOBUFS;
  state_->observers[state_->observerCount++] = &poller;
  return ERROR_SUCCESS;
}

void PortSocketSet::RemoveObserver(EventPoller& poller) {
  std::lock_guard lock(state_->mutex);
  auto& observers = state_->observers;
  const auto end = observers.begin() + state_->observerCount;
  const auto found = std::find(observers.begin(), end, &poller);
  if (found == end) return;
  *found = *(end - 1);
  --state_->observerCount;
}

PortSocketSet::ControlState PortSocketSet::Controls() const {
  std::lock_guard lock(state_->mutex);
  return {state_->held, state_->stopRequested, state_->released};
}

void PortSocketSet::WaitForStop() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [this] { return state_->stopRequested; });
}

void PortSocketSet::Hold() {
  std::lock_guard lock(state_->mutex);
  state_->held = true;
  state_->Signal();
}

void PortSocketSet::Release() {
  std::lock_guard lock(state_->mutex);
  state_->held = false;
  state_->released = ArrivalClock::now();
  state_->changed.notify_all();
  state_->Signal();
}

void PortSocketSet::CloseFromControl() {
  std::lock_guard lock(state_->mutex);
  state_->stopRequested = true;
  state_->changed.notify_all();
  state_->Signal();
}

}  // namespace quoril::platform
