// UDP sockets over Windows Sockets, and the local IPv4 addresses from the adapters.
#include "platform/sockets.h"

#include "platform/win32/windows_headers.h"

#include <iphlpapi.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/event_poller.h"
#include "platform/win32/handles.h"

namespace quoril::platform {

const std::uint16_t kAddressFamilyInet6 = AF_INET6;

namespace {

// A SocketAddress holds the system's own structure, so that it goes to and from the calls
// as it is.
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == sizeof(SocketAddress));
// One select watches every port-69 socket.
static_assert(FD_SETSIZE >= PortSocketSet::kCapacity);

struct NativeAddress {
  explicit NativeAddress(const SocketAddress& address)
      : length(static_cast<int>(address.ToNative(&storage))) {}
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  sockaddr_in6 storage{};  // room for either family
  int length = 0;
};

SocketAddress FromNative(const sockaddr_in6& native) {
  SocketAddress address;
  SocketAddress::FromNative(&native, address);
  return address;
}

// How often a wait looks whether it has been cancelled, or whether the stop closed the
// sockets under it (a select that the closing does not wake still ends this soon).
constexpr DWORD kWaitSlice = 250;
// The largest UDP datagram over IPv4, so that a receive learns the real size of one that
// does not fit its buffer.
constexpr std::size_t kLargestDatagram = 65536;

std::atomic<bool> gTransferWaitsCancelled{false};

SOCKET AsSocket(std::intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

Win32Error LastSocketError() {
  return static_cast<Win32Error>(::WSAGetLastError());
}

// Wine binds a UDP socket on an adapter's address (127.0.0.1 excepted) to the wildcard
// address restricted to that adapter, so that it receives broadcasts. The port-69 socket of a
// second address on the same adapter then collides with it (WSAEADDRINUSE), and the service
// could not start. Under Wine the port-69 sockets therefore share their port: each datagram
// still reaches the socket of its own address where there is one. On Windows they never
// collide, and sharing would let the service take over a port-69 socket of another program.
bool RunsUnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

Win32Error OpenBound(const SocketAddress& address, SOCKET& out, bool sharePort = false) {
  out = INVALID_SOCKET;
  const int family = address.IsIPv6() ? AF_INET6 : AF_INET;
  SOCKET s = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return LastSocketError();
  // Not inherited by programs that the process starts.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (sharePort) {
    const BOOL reuse = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  }
  // An ICMP "port unreachable" for an earlier datagram would otherwise fail the next receive
  // with WSAECONNRESET, which is no datagram and no fault of this socket.
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  if (family == AF_INET6) {
    // IPv4 is served by sockets of its own, never through mapped addresses.
    const DWORD on = 1;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  const NativeAddress local(address);
  if (::bind(s, local.get(), local.length) == SOCKET_ERROR) {
    const Win32Error error = LastSocketError();
    ::closesocket(s);
    return error;
  }
  out = s;
  return ERROR_SUCCESS;
}

Win32Error SendDatagram(SOCKET s, std::span<const std::uint8_t> packet, const SocketAddress& to) {
  const NativeAddress destination(to);
  const int n = ::sendto(s, reinterpret_cast<const char*>(packet.data()),
                         static_cast<int>(packet.size()), 0, destination.get(), destination.length);
  return n == SOCKET_ERROR ? LastSocketError() : ERROR_SUCCESS;
}

// One datagram, whole: a datagram larger than `buffer` is consumed and fails with
// WSAEMSGSIZE, and `received` tells its real size.
Win32Error ReceiveDatagram(SOCKET s, std::span<std::uint8_t> buffer, std::size_t& received,
                           SocketAddress& from) {
  received = 0;
  // On the stack, uncleared: every thread's stack has room for it, and nothing is allocated
  // per datagram.
  std::array<char, kLargestDatagram> whole;
  sockaddr_in6 sender{};
  int senderLength = sizeof sender;
  const int n = ::recvfrom(s, whole.data(), static_cast<int>(whole.size()), 0,
                           reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (n == SOCKET_ERROR) return LastSocketError();
  received = static_cast<std::size_t>(n);
  from = FromNative(sender);
  std::memcpy(buffer.data(), whole.data(), std::min(received, buffer.size()));
  return received > buffer.size() ? WSAEMSGSIZE : ERROR_SUCCESS;
}

// A datagram if one is queued, without waiting: a select that does not wait first, as the
// socket itself stays blocking for ReceiveFrom.
Win32Error TryReceiveDatagram(SOCKET s, std::span<std::uint8_t> buffer, std::size_t& received,
                              SocketAddress& from, bool& gotOne) {
  gotOne = false;
  received = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval none{};
  const int n = ::select(0, &readable, nullptr, nullptr, &none);
  if (n == SOCKET_ERROR) return LastSocketError();
  if (n == 0) return ERROR_SUCCESS;
  const Win32Error error = ReceiveDatagram(s, buffer, received, from);
  gotOne = error == ERROR_SUCCESS || error == WSAEMSGSIZE;
  return error;
}

timeval Timeval(DWORD milliseconds) {
  timeval tv{};
  tv.tv_sec = static_cast<long>(milliseconds / 1000);
  tv.tv_usec = static_cast<long>(milliseconds % 1000 * 1000);
  return tv;
}

}  // namespace

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

void CancelTransferWaits() {
  gTransferWaitsCancelled.store(true);
}

// UdpSocket

UdpSocket::~UdpSocket() {
  Close();
}

Win32Error UdpSocket::Open(const SocketAddress& local) {
  Close();
  SOCKET s = INVALID_SOCKET;
  const Win32Error error = OpenBound(local, s);
  if (error == ERROR_SUCCESS) handle_ = static_cast<std::intptr_t>(s);
  return error;
}

void UdpSocket::Close() {
  if (handle_ >= 0) {
    ::closesocket(AsSocket(handle_));
    handle_ = -1;
  }
}

Win32Error UdpSocket::SendTo(std::span<const std::uint8_t> packet, const SocketAddress& to) const {
  if (handle_ < 0) return WSAENOTSOCK;
  return SendDatagram(AsSocket(handle_), packet, to);
}

Win32Error UdpSocket::ReceiveFrom(std::span<std::uint8_t> buffer, std::size_t& received,
                                  SocketAddress& from) const {
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  return ReceiveDatagram(AsSocket(handle_), buffer, received, from);
}

Win32Error UdpSocket::ReceiveWithin(std::uint32_t timeoutMilliseconds,
                                    std::span<std::uint8_t> buffer, std::size_t& received,
                                    SocketAddress& from, WaitResult& result) {
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
  for (;;) {
    if (gTransferWaitsCancelled.load()) {
      result = WaitResult::kCancelled;
      return ERROR_SUCCESS;
    }
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(AsSocket(handle_), &readable);
    timeval slice = Timeval(std::min(left, kWaitSlice));
    const int n = ::select(0, &readable, nullptr, nullptr, &slice);
    if (n == SOCKET_ERROR) return LastSocketError();
    if (n > 0) {
      result = WaitResult::kReady;
      return ReceiveDatagram(AsSocket(handle_), buffer, received, from);
    }
    if (left <= kWaitSlice) {
      result = WaitResult::kTimeout;
      return ERROR_SUCCESS;
    }
  }
}

Win32Error UdpSocket::TryReceive(std::span<std::uint8_t> buffer, std::size_t& received,
                                 SocketAddress& from, bool& gotOne) const {
  gotOne = false;
  received = 0;
  if (handle_ < 0) return WSAENOTSOCK;
  return TryReceiveDatagram(AsSocket(handle_), buffer, received, from, gotOne);
}

std::uint16_t UdpSocket::LocalPort() const {
  // The port stands at the same place in both families' structures.
  sockaddr_in6 local{};
  int length = sizeof local;
  if (handle_ < 0 ||
      ::getsockname(AsSocket(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ::ntohs(local.sin6_port);
}

// PortSocketSet
//
// Without observers, the stop closes the sockets from the control's thread, where the listener
// may be waiting on them: every slot is read and changed under `lock`, and a receive runs
// under it too, so that the listener never receives on a handle that the stop closed (and
// that the system may already have given to another socket).
struct PortSocketSet::State {
  CriticalSection lock;
  std::array<SOCKET, kCapacity> sockets;
  // Signalled while the listener may go on; reset while it is held.
  UniqueHandle released{::CreateEventA(nullptr, TRUE, TRUE, nullptr)};
  // Signalled once the stop came.
  UniqueHandle stopped{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  bool held = false;
  bool stopRequested = false;
  ArrivalClock::time_point releasedAt{};  // of the last Release
  // Registered by the listener before the loops start; woken by every control.
  std::array<EventPoller*, kMaxObservers> observers{};
  std::uint32_t observerCount = 0;

  // Under `lock`.
  void WakeObservers() {
    for (std::uint32_t k = 0; k < observerCount; ++k) observers[k]->Wake();
  }
};

PortSocketSet::PortSocketSet() : state_(std::make_unique<State>()) {
  state_->sockets.fill(INVALID_SOCKET);
}

PortSocketSet::~PortSocketSet() {
  for (std::uint32_t k = 0; k < kCapacity; ++k) Close(k);
}

Win32Error PortSocketSet::Open(std::uint32_t index, const SocketAddress& local) {
  if (index >= kCapacity) return WSAEINVAL;
  Close(index);
  SOCKET s = INVALID_SOCKET;
  const Win32Error error = OpenBound(local, s, RunsUnderWine());
  CriticalSectionLock lock(state_->lock);
  state_->sockets[index] = s;
  return error;
}

bool PortSocketSet::IsOpen(std::uint32_t index) const {
  CriticalSectionLock lock(state_->lock);
  return index < kCapacity && state_->sockets[index] != INVALID_SOCKET;
}

void PortSocketSet::Close(std::uint32_t index) {
  if (index >= kCapacity) return;
  CriticalSectionLock lock(state_->lock);
  if (state_->sockets[index] != INVALID_SOCKET) {
    ::closesocket(state_->sockets[index]);
    state_->sockets[index] = INVALID_SOCKET;
  }
}

Win32Error PortSocketSet::Wait(ReadSet& set) {
  if (set.none()) return WSAEINVAL;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    std::array<SOCKET, kCapacity> watched;
    watched.fill(INVALID_SOCKET);
    bool held = false;
    {
      CriticalSectionLock lock(state_->lock);
      // The sockets are gone: the receive that follows tells the listener so.
      if (state_->stopRequested) return ERROR_SUCCESS;
      held = state_->held;
      if (!held) {
        for (std::uint32_t k = 0; k < kCapacity; ++k) {
          if (!set.test(k)) continue;
          if (state_->sockets[k] == INVALID_SOCKET) return WSAENOTSOCK;
          watched[k] = state_->sockets[k];
          FD_SET(watched[k], &readable);
        }
      }
    }
    if (held) {
      // Paused: nothing is taken until continue or stop.
      ::WaitForSingleObject(state_->released.Get(), INFINITE);
      continue;
    }
    timeval slice = Timeval(kWaitSlice);
    const int n = ::select(0, &readable, nullptr, nullptr, &slice);
    const Win32Error error = n == SOCKET_ERROR ? LastSocketError() : ERROR_SUCCESS;
    ReadSet ready;
    if (n > 0) {
      for (std::uint32_t k = 0; k < kCapacity; ++k) {
        if (watched[k] != INVALID_SOCKET && FD_ISSET(watched[k], &readable)) ready.set(k);
      }
    }
    CriticalSectionLock lock(state_->lock);
    if (state_->stopRequested) return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS) return error;
    // A pause that came while the wait was returning still holds the listener.
    if (state_->held || ready.none()) continue;
    set = ready;
    return ERROR_SUCCESS;
  }
}

Win32Error PortSocketSet::Receive(std::uint32_t index, std::span<std::uint8_t> buffer,
                                  std::size_t& received, SocketAddress& from,
                                  ArrivalClock::time_point* arrived) {
  received = 0;
  // Windows Sockets keeps no arrival time: the time of the read stands for it.
  if (arrived != nullptr) *arrived = ArrivalClock::now();
  CriticalSectionLock lock(state_->lock);
  if (index >= kCapacity || state_->stopRequested || state_->sockets[index] == INVALID_SOCKET) {
    return WSAENOTSOCK;
  }
  // The wait found a datagram here, and only this thread receives on the socket: the receive
  // does not block.
  return ReceiveDatagram(state_->sockets[index], buffer, received, from);
}

Win32Error PortSocketSet::TryReceive(std::uint32_t index, std::span<std::uint8_t> buffer,
                                     std::size_t& received, SocketAddress& from, bool& gotOne,
                                     ArrivalClock::time_point* arrived) const {
  gotOne = false;
  received = 0;
  if (arrived != nullptr) *arrived = ArrivalClock::now();
  // Under the lock, so that no other loop takes the datagram between the look and the
  // receive, which would then wait for the next one.
  CriticalSectionLock lock(state_->lock);
  if (index >= kCapacity || state_->sockets[index] == INVALID_SOCKET) return WSAENOTSOCK;
  return TryReceiveDatagram(state_->sockets[index], buffer, received, from, gotOne);
}

bool PortSocketSet::AnyQueued() const {
  fd_set readable;
  FD_ZERO(&readable);
  {
    CriticalSectionLock lock(state_->lock);
    for (const SOCKET s : state_->sockets) {
      if (s != INVALID_SOCKET) FD_SET(s, &readable);
    }
  }
  if (readable.fd_count == 0) return false;
  timeval none{};
  return ::select(0, &readable, nullptr, nullptr, &none) > 0;
}

Win32Error PortSocketSet::SendTo(std::uint32_t index, std::span<const std::uint8_t> packet,
                                 const SocketAddress& to) const {
  // Under the lock, so that the send never meets a handle that the stop closed meanwhile.
  CriticalSectionLock lock(state_->lock);
  if (index >= kCapacity || state_->sockets[index] == INVALID_SOCKET) return WSAENOTSOCK;
  return SendDatagram(state_->sockets[index], packet, to);
}

std::intptr_t PortSocketSet::NativeHandle(std::uint32_t index) const {
  CriticalSectionLock lock(state_->lock);
  if (index >= kCapacity || state_->sockets[index] == INVALID_SOCKET) return -1;
  return static_cast<std::intptr_t>(state_->sockets[index]);
}

Win32Error PortSocketSet::AddObserver(EventPoller& poller) {
  CriticalSectionLock lock(state_->lock);
  if (state_->observerCount == kMaxObservers) return WSAENOBUFS;
  state_->observers[state_->observerCount++] = &poller;
  return ERROR_SUCCESS;
}

void PortSocketSet::RemoveObserver(EventPoller& poller) {
  CriticalSectionLock lock(state_->lock);
  auto& observers = state_->observers;
  const auto end = observers.begin() + state_->observerCount;
  const auto found = std::find(observers.begin(), end, &poller);
  if (found == end) return;
  *found = *(end - 1);
  --state_->observerCount;
}

PortSocketSet::ControlState PortSocketSet::Controls() const {
  CriticalSectionLock lock(state_->lock);
  return {state_->held, state_->stopRequested, state_->releasedAt};
}

void PortSocketSet::WaitForStop() {
  ::WaitForSingleObject(state_->stopped.Get(), INFINITE);
}

void PortSocketSet::Hold() {
  CriticalSectionLock lock(state_->lock);
  state_->held = true;
  ::ResetEvent(state_->released.Get());
  state_->WakeObservers();
}

void PortSocketSet::Release() {
  CriticalSectionLock lock(state_->lock);
  state_->held = false;
  state_->releasedAt = ArrivalClock::now();
  ::SetEvent(state_->released.Get());
  state_->WakeObservers();
}

void PortSocketSet::CloseFromControl() {
  CriticalSectionLock lock(state_->lock);
  state_->stopRequested = true;
  // The loops still watch the sockets: the listener closes them once the loops let go.
  if (state_->observerCount == 0) {
    for (SOCKET& s : state_->sockets) {
      if (s != INVALID_SOCKET) ::closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  ::SetEvent(state_->released.Get());
  ::SetEvent(state_->stopped.Get());
  state_->WakeObservers();
}

}  // namespace quoril::platform
