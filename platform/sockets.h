// UDP sockets, as Windows Sockets gives them.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "platform/socket_address.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// WSAStartup / WSACleanup: Windows Sockets 1.1, or 2.2 with `ipv6` (IPv6 sockets need it).
Win32Error SocketsStartup(bool ipv6 = false);
Win32Error SocketsCleanup();

// gethostname into `buffer`, terminated.
Win32Error GetHostName(std::span<char> buffer);
enum class HostAddressFamily { kIPv4, kIPv6 };

// The addresses of one family of this host (port 0), in the order the system lists them:
// every address of every interface (adapter) that is up, loopback included, each distinct
// address once (where it is first listed). An IPv6 address carries its interface as its scope
// when it is link-local (the same link-local address on two interfaces is two addresses), none
// otherwise. At most addresses.size() are stored; `count` is the number stored.
// ERROR_MORE_DATA when there are more than fit (the first are stored).
Win32Error LookupHostAddresses(std::span<SocketAddress> addresses, std::uint32_t& count,
                               HostAddressFamily family = HostAddressFamily::kIPv4);

enum class WaitResult { kReady, kTimeout, kCancelled };

// The clock on which a port socket tells when a datagram arrived.
using ArrivalClock = std::chrono::steady_clock;

class EventPoller;

// A UDP socket bound to one local address. Closed on destruction; move-only.
class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(UdpSocket&& other) noexcept
      : handle_(std::exchange(other.handle_, -1)),
        receiveTimeout_(std::exchange(other.receiveTimeout_, 0)),
        neverFragmented_(std::exchange(other.neverFragmented_, false)) {}
  UdpSocket& operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, -1);
      receiveTimeout_ = std::exchange(other.receiveTimeout_, 0);
      neverFragmented_ = std::exchange(other.neverFragmented_, false);
    }
    return *this;
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // A UDP socket of the family of `local`, bound to its address and port (port 0 lets the
  // system choose).
  Win32Error Open(const SocketAddress& local);
  bool IsOpen() const { return handle_ >= 0; }
  void Close();

  // sendto of one datagram.
  Win32Error SendTo(std::span<const std::uint8_t> packet, const SocketAddress& to) const;
  // recvfrom of one datagram. A datagram larger than `buffer` is consumed and fails with
  // WSAEMSGSIZE; `received` then holds its real size and `from` its sender.
  Win32Error ReceiveFrom(std::span<std::uint8_t> buffer, std::size_t& received,
                         SocketAddress& from) const;
  // Waits at most `timeoutMilliseconds` (give or take a few tens of milliseconds) for one
  // datagram and receives it, as ReceiveFrom does: `result` is kReady with the datagram (or
  // with WSAEMSGSIZE), kTimeout when none came, kCancelled once CancelTransferWaits() has
  // been called in this process.
  Win32Error ReceiveWithin(std::uint32_t timeoutMilliseconds, std::span<std::uint8_t> buffer,
                           std::size_t& received, SocketAddress& from, WaitResult& result);
  // recvfrom that never waits: `gotOne` is false when no datagram was queued (and the answer
  // ERROR_SUCCESS); otherwise as ReceiveFrom (WSAEMSGSIZE for one larger than `buffer`).
  Win32Error TryReceive(std::span<std::uint8_t> buffer, std::size_t& received, SocketAddress& from,
                        bool& gotOne) const;
  // The local port the socket is bound to, host byte order.
  std::uint16_t LocalPort() const;

 private:
  friend class AddressWatcher;
  friend class EventPoller;

  std::intptr_t handle_ = -1;
  // The receive timeout the socket has now, so that it is set only when it changes.
  std::uint32_t receiveTimeout_ = 0;
  // Where the system allows it: the socket's datagrams are sent as never to be fragmented
  // until the first one that a path could need to fragment (SendTo, which is const for its
  // callers, changes that once).
  mutable bool neverFragmented_ = false;
};

// Makes every ReceiveWithin of this process, running or to come, answer kCancelled: the
// listener's shutdown ends the transfers still running this way. Sockets that an EventPoller
// watches are left as they are: their loop ends its transfers itself.
void CancelTransferWaits();

// The port-69 sockets, one per local address, paired with the address by index. The listener
// opens and closes them from its own thread; its engine's pollers wait on them (EventPoller::
// AddPort) and read them from any thread.
class PortSocketSet {
 public:
  // 50 IPv4 addresses and room for IPv6 ones: a link-local address on every interface (a
  // container host has one per container), a unique-local and a few global ones on some.
  static constexpr std::uint32_t kCapacity = 256;
  // The most sockets one wait watches: all of them (Windows Sockets' FD_SETSIZE is raised to
  // match).
  static constexpr std::uint32_t kMaxWaitSet = kCapacity;
  using ReadSet = std::bitset<kCapacity>;

  PortSocketSet();
  ~PortSocketSet();
  PortSocketSet(const PortSocketSet&) = delete;
  PortSocketSet& operator=(const PortSocketSet&) = delete;

  // Opens sockets[index] bound to `local` (see UdpSocket::Open).
  Win32Error Open(std::uint32_t index, const SocketAddress& local);
  bool IsOpen(std::uint32_t index) const;
  // sendto from sockets[index], from any thread: in single-port mode every transfer answers
  // from the port socket that received its request. WSAENOTSOCK once the slot is closed.
  Win32Error SendTo(std::uint32_t index, std::span<const std::uint8_t> packet,
                    const SocketAddress& to) const;
  // closesocket(sockets[index]) from the owning thread, once no poller watches it; closing a
  // closed slot does nothing.
  void Close(std::uint32_t index);
  // Closes sockets[index] of an address that went, while other threads may still read the
  // slot: they then fail with WSAENOTSOCK, never read a socket opened meanwhile. The slot is
  // free for Open again.
  void Retire(std::uint32_t index);

  // recvfrom on sockets[index] that never waits; see UdpSocket::TryReceive. Several threads
  // may call it for the same index at once. `arrived`, when given, tells when the datagram
  // arrived (ArrivalClock): the system's own stamp where it keeps one (Linux), otherwise the
  // time it was read.
  Win32Error TryReceive(std::uint32_t index, std::span<std::uint8_t> buffer, std::size_t& received,
                        SocketAddress& from, bool& gotOne,
                        ArrivalClock::time_point* arrived = nullptr) const;
  // Whether a datagram waits in the queue of any open socket of the set; never waits.
  bool AnyQueued() const;

 private:
  friend class EventPoller;
  // The socket of slot `index` as the system knows it, -1 for none.
  std::intptr_t NativeHandle(std::uint32_t index) const;

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quoril::platform
