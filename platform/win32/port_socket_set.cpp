// The port-69 sockets, and the service control's pause and stop that reach their owner.
#include "platform/sockets.h"

#include "platform/win32/windows_headers.h"

#include <algorithm>
#include <array>
#include <memory>

#include "platform/event_poller.h"
#include "platform/win32/datagrams.h"
#include "platform/win32/handles.h"

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
