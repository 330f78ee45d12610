// The port-69 sockets.
#include "platform/sockets.h"

#include "platform/win32/windows_headers.h"

#include <array>
#include <memory>
#include <mutex>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

namespace {

// One select watches every port-69 socket.
static_assert(FD_SETSIZE >= PortSocketSet::kCapacity);

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

}  // namespace

// Every slot is read and changed under `lock`, and a receive or send runs under it too, so that
// none meets a handle that Retire closed (and that the system may already have given to
// another socket).
struct PortSocketSet::State {
  std::mutex lock;
  std::array<SOCKET, kCapacity> sockets;
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
  std::lock_guard lock(state_->lock);
  state_->sockets[index] = s;
  return error;
}

bool PortSocketSet::IsOpen(std::uint32_t index) const {
  std::lock_guard lock(state_->lock);
  return index < kCapacity && state_->sockets[index] != INVALID_SOCKET;
}

void PortSocketSet::Close(std::uint32_t index) {
  if (index >= kCapacity) return;
  std::lock_guard lock(state_->lock);
  if (state_->sockets[index] != INVALID_SOCKET) {
    ::closesocket(state_->sockets[index]);
    state_->sockets[index] = INVALID_SOCKET;
  }
}

void PortSocketSet::Retire(std::uint32_t index) {
  // Every use of a slot's socket is under the lock here: closing it at once is safe.
  Close(index);
}

Win32Error PortSocketSet::TryReceive(std::uint32_t index, std::span<std::uint8_t> buffer,
                                     std::size_t& received, SocketAddress& from, bool& gotOne,
                                     ArrivalClock::time_point* arrived) const {
  gotOne = false;
  received = 0;
  if (arrived != nullptr) *arrived = ArrivalClock::now();
  // Under the lock, so that no other loop takes the datagram between the look and the
  // receive, which would then wait for the next one.
  std::lock_guard lock(state_->lock);
  if (index >= kCapacity || state_->sockets[index] == INVALID_SOCKET) return WSAENOTSOCK;
  return TryReceiveDatagram(state_->sockets[index], buffer, received, from, gotOne);
}

bool PortSocketSet::AnyQueued() const {
  fd_set readable;
  FD_ZERO(&readable);
  {
    std::lock_guard lock(state_->lock);
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
  std::lock_guard lock(state_->lock);
  if (index >= kCapacity || state_->sockets[index] == INVALID_SOCKET) return WSAENOTSOCK;
  return SendDatagram(state_->sockets[index], packet, to);
}

std::intptr_t PortSocketSet::NativeHandle(std::uint32_t index) const {
  std::lock_guard lock(state_->lock);
  if (index >= kCapacity || state_->sockets[index] == INVALID_SOCKET) return -1;
  return static_cast<std::intptr_t>(state_->sockets[index]);
}

}  // namespace quoril::platform
