// The transfers' sockets, the cancel that ends their waits at the stop, and the host's name.
#include "platform/sockets.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <vector>

#include "platform/posix/error_mapping.h"
#include "platform/posix/sockets_backend.h"

namespace quoril::platform {

namespace {

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

}  // namespace

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

void CancelTransferWaits() {
  TransferSockets::Get().Cancel();
}

void IncludeInTransferWaitCancel(int fd, bool included) {
  TransferSockets::Get().Mark(fd, included);
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
  if (timeoutMilliseconds != 0 &&
      (timeoutMilliseconds > receiveTimeout_ ||
       timeoutMilliseconds + kTimeoutSlackMilliseconds < receiveTimeout_)) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeoutMilliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeoutMilliseconds % 1000) * 1000;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
      return WsaErrorFromErrno(errno);
    }
    receiveTimeout_ = timeoutMilliseconds;
  }
  // A wait of no time takes what is queued; a longer one fails with WSAEWOULDBLOCK after it.
  bool gotOne = timeoutMilliseconds != 0;
  const Win32Error error = ReceiveDatagram(fd, buffer, received, from, nullptr,
                                           timeoutMilliseconds == 0 ? &gotOne : nullptr);
  // Nothing came in time, or the cancel shut the socket down, which then answers with nothing.
  if (error == WSAEWOULDBLOCK ||
      (error == ERROR_SUCCESS && (!gotOne || (received == 0 && sockets.Cancelled())))) {
    result = sockets.Cancelled() ? WaitResult::kCancelled : WaitResult::kTimeout;
    return ERROR_SUCCESS;
  }
  if (error == ERROR_SUCCESS || error == WSAEMSGSIZE) result = WaitResult::kReady;
  return error;
}

Win32Error UdpSocket::TryReceive(std::span<std::uint8_t> buffer, std::size_t& received,
                                 SocketAddress& from, bool& gotOne) const {
  gotOne = false;
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  return ReceiveDatagram(static_cast<int>(handle_), buffer, received, from, nullptr, &gotOne);
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

}  // namespace quoril::platform
