// The event poller over WSAPoll. Wake sends one datagram to a socket of the poller's own on
// the loopback address, which the poll watches with the rest.
#include "platform/event_poller.h"

#include "platform/win32/windows_headers.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <vector>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

struct EventPoller::State {
  // The sockets the poll watches, the wake-up first, each with its key at the same index:
  // kept compact, so that one poll covers them all. Used by the loop thread only.
  std::vector<WSAPOLLFD> watched;
  std::vector<std::uintptr_t> keys;
  UdpSocket wake;
  SocketAddress wakeAddress;
  // Set while a wake-up datagram is on its way, so that Wakes in a row send one.
  std::atomic<bool> wakeSent{false};
  // The socket watched for each port slot: the slot's socket may have closed (an address that
  // went) by the time its watch is removed.
  std::array<SOCKET, PortSocketSet::kCapacity> ports;

  Win32Error Watch(SOCKET s, std::uintptr_t key) {
    if (watched.empty()) return WSAEINVAL;
    if (s == INVALID_SOCKET) return WSAENOTSOCK;
    if (std::any_of(watched.begin(), watched.end(),
                    [s](const WSAPOLLFD& entry) { return entry.fd == s; })) {
      return WSAEINVAL;
    }
    watched.push_back({s, POLLRDNORM, 0});
    keys.push_back(key);
    return ERROR_SUCCESS;
  }

  void Unwatch(SOCKET s) {
    for (std::size_t i = 1; i < watched.size(); ++i) {
      if (watched[i].fd != s) continue;
      watched[i] = watched.back();
      keys[i] = keys.back();
      watched.pop_back();
      keys.pop_back();
      return;
    }
  }
};

EventPoller::EventPoller() : state_(std::make_unique<State>()) {
  state_->ports.fill(INVALID_SOCKET);
}

EventPoller::~EventPoller() = default;

Win32Error EventPoller::Create() {
  State& state = *state_;
  if (const Win32Error error = state.wake.Open(SocketAddress::FromIPv4(kLoopback, 0));
      error != ERROR_SUCCESS) {
    return error;
  }
  state.wakeAddress = SocketAddress::FromIPv4(kLoopback, state.wake.LocalPort());
  state.watched.assign(1, {static_cast<SOCKET>(state.wake.handle_), POLLRDNORM, 0});
  state.keys.assign(1, 0);
  return ERROR_SUCCESS;
}

Win32Error EventPoller::Add(const UdpSocket& socket, std::uintptr_t key) {
  return state_->Watch(static_cast<SOCKET>(socket.handle_), key);
}

void EventPoller::CloseWatched(UdpSocket& socket) {
  SetAside(socket);
  socket.Close();
}

void EventPoller::SetAside(const UdpSocket& socket) {
  state_->Unwatch(static_cast<SOCKET>(socket.handle_));
}

Win32Error EventPoller::TakeBack(const UdpSocket& socket, std::uintptr_t key) {
  return Add(socket, key);
}

Win32Error EventPoller::AddPort(const PortSocketSet& set, std::uint32_t index, std::uintptr_t key) {
  if (index >= PortSocketSet::kCapacity) return WSAEINVAL;
  const auto s = static_cast<SOCKET>(set.NativeHandle(index));
  const Win32Error error = state_->Watch(s, key);
  if (error == ERROR_SUCCESS) state_->ports[index] = s;
  return error;
}

void EventPoller::RemovePort(const PortSocketSet&, std::uint32_t index) {
  if (index >= PortSocketSet::kCapacity || state_->ports[index] == INVALID_SOCKET) return;
  state_->Unwatch(state_->ports[index]);
  state_->ports[index] = INVALID_SOCKET;
}

Win32Error EventPoller::AddWatcher(const AddressWatcher& watcher, std::uintptr_t key) {
  return state_->Watch(static_cast<SOCKET>(watcher.NativeHandle()), key);
}

void EventPoller::RemoveWatcher(const AddressWatcher& watcher) {
  state_->Unwatch(static_cast<SOCKET>(watcher.NativeHandle()));
}

Win32Error EventPoller::Wait(std::uint32_t timeoutMilliseconds, std::span<std::uintptr_t> ready,
                             std::size_t& count, bool& woken) {
  State& state = *state_;
  count = 0;
  woken = false;
  if (state.watched.empty()) return WSAEINVAL;
  const INT timeout = timeoutMilliseconds == kWaitForever
                          ? -1
                          : static_cast<INT>(std::min<std::uint32_t>(timeoutMilliseconds, INT_MAX));
  const int n = ::WSAPoll(state.watched.data(), static_cast<ULONG>(state.watched.size()), timeout);
  if (n == SOCKET_ERROR) return static_cast<Win32Error>(::WSAGetLastError());
  if (n == 0) return ERROR_SUCCESS;
  // A socket left out when `ready` is full stays ready for the next Wait.
  for (std::size_t i = 1; i < state.watched.size() && count < ready.size(); ++i) {
    if (state.watched[i].revents != 0) ready[count++] = state.keys[i];
  }
  if (state.watched[0].revents != 0) {
    // Cleared before draining: a Wake after this point sends again, or is drained here and
    // answered by this very Wait.
    state.wakeSent.store(false);
    std::array<std::uint8_t, 1> buffer{};
    std::size_t received = 0;
    SocketAddress from;
    bool gotOne = false;
    do {
      state.wake.TryReceive(buffer, received, from, gotOne);
    } while (gotOne);
    woken = true;
  }
  return ERROR_SUCCESS;
}

void EventPoller::Wake() {
  State& state = *state_;
  if (!state.wake.IsOpen() || state.wakeSent.exchange(true)) return;
  static constexpr std::array<std::uint8_t, 1> kByte{1};
  if (state.wake.SendTo(kByte, state.wakeAddress) != ERROR_SUCCESS) state.wakeSent.store(false);
}

}  // namespace quoril::platform
