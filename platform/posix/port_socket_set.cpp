// The port-69 sockets, and the service control's pause and stop that reach their owner.
#include "platform/sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "platform/address_watcher.h"
#include "platform/event_poller.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/sockets_backend.h"

namespace quoril::platform {

namespace {

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

struct PortSocketSet::State {
  // Descriptors are opened and closed by the owning (listener) thread only, while no loop
  // watches them; the loops read them meanwhile.
  std::array<int, kCapacity> fds;
  // Slots whose descriptor number `placeholder` holds (Retire): a late read there fails with
  // ENOTSOCK, and Open puts the next socket under the same number. Set by the thread that
  // follows the addresses while the loops look (IsOpen).
  std::array<std::atomic<bool>, kCapacity> retired{};
  int placeholder = -1;  // an eventfd never written: no socket
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
  state_->placeholder = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PortSocketSet::~PortSocketSet() {
  for (std::uint32_t k = 0; k < kCapacity; ++k) Close(k);
  if (state_->wakeFd >= 0) ::close(state_->wakeFd);
  if (state_->placeholder >= 0) ::close(state_->placeholder);
}

Win32Error PortSocketSet::Open(std::uint32_t index, const SocketAddress& local) {
  if (index >= kCapacity) return WSAEINVAL;
  if (state_->retired[index].load()) {
    int fd = -1;
    if (const Win32Error error = OpenBound(local, fd); error != ERROR_SUCCESS) return error;
    const bool moved = ::dup3(fd, state_->fds[index], O_CLOEXEC) >= 0;
    const int dupError = errno;
    ::close(fd);
    if (!moved) return WsaErrorFromErrno(dupError);
    state_->retired[index].store(false);
  } else {
    Close(index);
    if (const Win32Error error = OpenBound(local, state_->fds[index]); error != ERROR_SUCCESS) {
      return error;
    }
  }
  {
    EnlargeReceiveBuffer(state_->fds[index]);
    // Each request carries when it arrived, so that one that waited too long is let go.
    const int on = 1;
    ::setsockopt(state_->fds[index], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  }
  return ERROR_SUCCESS;
}

bool PortSocketSet::IsOpen(std::uint32_t index) const {
  return index < kCapacity && state_->fds[index] >= 0 && !state_->retired[index].load();
}

void PortSocketSet::Close(std::uint32_t index) {
  if (index < kCapacity && state_->fds[index] >= 0) {
    ::close(state_->fds[index]);
    state_->fds[index] = -1;
    state_->retired[index].store(false);
  }
}

void PortSocketSet::Retire(std::uint32_t index) {
  if (!IsOpen(index)) return;
  // The socket goes, and with it every poller's watch of it; the number stays taken.
  if (state_->placeholder >= 0 && ::dup3(state_->placeholder, state_->fds[index], O_CLOEXEC) >= 0) {
    state_->retired[index].store(true);
  } else {
    Close(index);
  }
}

void PortSocketSet::WakeObservers() {
  std::lock_guard lock(state_->mutex);
  for (std::uint32_t k = 0; k < state_->observerCount; ++k) state_->observers[k]->Wake();
}

Win32Error PortSocketSet::Wait(ReadSet& set, const AddressWatcher* watcher, bool* changes) {
  const int watcherFd = watcher != nullptr ? static_cast<int>(watcher->NativeHandle()) : -1;
  if (changes != nullptr) *changes = false;
  if (set.none() && watcherFd < 0) return WSAEINVAL;
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
    std::array<pollfd, kCapacity + 2> watched;
    std::array<std::uint32_t, kCapacity> indexOf;
    std::size_t used = 0;
    for (std::uint32_t k = 0; k < kCapacity; ++k) {
      if (!set.test(k)) continue;
      if (!IsOpen(k)) return WSAENOTSOCK;
      watched[used] = {state_->fds[k], POLLIN, 0};
      indexOf[used] = k;
      ++used;
    }
    watched[used] = {state_->wakeFd, POLLIN, 0};
    watched[used + 1] = {watcherFd, POLLIN, 0};  // a negative descriptor is not looked at
    const int n = ::poll(watched.data(), used + 2, -1);
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
    const bool changed = watched[used + 1].revents != 0;
    if (ready.none() && !changed) continue;
    {
      // A pause that came while the wait was returning still holds the listener.
      std::lock_guard lock(state_->mutex);
      if ((state_->held && !changed) || state_->stopRequested) continue;
      if (state_->held) ready.reset();
    }
    if (changes != nullptr) *changes = changed;
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
  return ReceiveDatagram(state_->fds[index], buffer, received, from, arrived, &gotOne);
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
