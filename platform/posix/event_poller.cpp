// The event poller over epoll, with an eventfd for Wake.
#include "platform/event_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <limits>

#include "platform/posix/error_mapping.h"
#include "platform/posix/sockets_backend.h"
#include "platform/posix/unique_fd.h"

namespace quoril::platform {

namespace {

// The wake-up's event data. A watched socket may carry the same key: the wake-up is told
// apart by whether its counter could be read.
constexpr std::uint64_t kWakeData = std::numeric_limits<std::uint64_t>::max();
// The most events one Wait takes from the kernel; the rest stay ready for the next.
constexpr std::size_t kEventBatch = 64;

// epoll_ctl's errno, 0 on success.
int WatchFd(int epollFd, int fd, std::uint32_t events, std::uint64_t data) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = data;
  return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

Win32Error WatchError(int error) {
  if (error == 0) return ERROR_SUCCESS;
  // Watched already.
  if (error == EEXIST) return WSAEINVAL;
  return WsaErrorFromErrno(error);
}

}  // namespace

// Owned by the loop thread; Wake only writes to wakeFd.
struct EventPoller::State {
  UniqueFd epollFd;
  UniqueFd wakeFd;

  Win32Error Watch(std::intptr_t fd, std::uint32_t events, std::uintptr_t key) {
    if (!epollFd.Valid()) return WSAEINVAL;
    if (fd < 0) return WSAENOTSOCK;
    int error = WatchFd(epollFd.Get(), static_cast<int>(fd), events, key);
    // Kernels before 4.5 know no EPOLLEXCLUSIVE: every loop is woken then.
    if (error == EINVAL && (events & EPOLLEXCLUSIVE) != 0) {
      error = WatchFd(epollFd.Get(), static_cast<int>(fd), events & ~EPOLLEXCLUSIVE, key);
    }
    return WatchError(error);
  }

  void Unwatch(std::intptr_t fd) {
    if (epollFd.Valid() && fd >= 0) {
      ::epoll_ctl(epollFd.Get(), EPOLL_CTL_DEL, static_cast<int>(fd), nullptr);
    }
  }
};

EventPoller::EventPoller() : state_(std::make_unique<State>()) {}

EventPoller::~EventPoller() = default;

Win32Error EventPoller::Create() {
  UniqueFd epollFd(::epoll_create1(EPOLL_CLOEXEC));
  if (!epollFd.Valid()) return WsaErrorFromErrno(errno);
  UniqueFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd.Valid()) return WsaErrorFromErrno(errno);
  if (const int error = WatchFd(epollFd.Get(), wakeFd.Get(), EPOLLIN, kWakeData); error != 0) {
    return WsaErrorFromErrno(error);
  }
  state_->epollFd = std::move(epollFd);
  state_->wakeFd = std::move(wakeFd);
  return ERROR_SUCCESS;
}

Win32Error EventPoller::Add(const UdpSocket& socket, std::uintptr_t key) {
  const Win32Error error = TakeBack(socket, key);
  if (error == ERROR_SUCCESS) IncludeInTransferWaitCancel(static_cast<int>(socket.handle_), false);
  return error;
}

void EventPoller::CloseWatched(UdpSocket& socket) {
  // epoll forgets a descriptor when its file is closed; no process holds another descriptor
  // of a transfer socket (they are close-on-exec).
  socket.Close();
}

void EventPoller::SetAside(const UdpSocket& socket) {
  state_->Unwatch(socket.handle_);
}

Win32Error EventPoller::TakeBack(const UdpSocket& socket, std::uintptr_t key) {
  return state_->Watch(socket.handle_, EPOLLIN, key);
}

Win32Error EventPoller::AddPort(const PortSocketSet& set, std::uint32_t index, std::uintptr_t key) {
  return state_->Watch(set.NativeHandle(index), EPOLLIN | EPOLLEXCLUSIVE, key);
}

void EventPoller::RemovePort(const PortSocketSet& set, std::uint32_t index) {
  state_->Unwatch(set.NativeHandle(index));
}

Win32Error EventPoller::AddWatcher(const AddressWatcher& watcher, std::uintptr_t key) {
  return state_->Watch(watcher.NativeHandle(), EPOLLIN, key);
}

void EventPoller::RemoveWatcher(const AddressWatcher& watcher) {
  state_->Unwatch(watcher.NativeHandle());
}

Win32Error EventPoller::Wait(std::uint32_t timeoutMilliseconds, std::span<std::uintptr_t> ready,
                             std::size_t& count, bool& woken) {
  using Clock = std::chrono::steady_clock;
  count = 0;
  woken = false;
  State& state = *state_;
  if (!state.epollFd.Valid()) return WSAEINVAL;
  const bool forever = timeoutMilliseconds == kWaitForever;
  int timeout =
      forever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMilliseconds, INT_MAX));
  const Clock::time_point deadline =
      forever ? Clock::time_point{} : Clock::now() + std::chrono::milliseconds(timeout);
  std::array<epoll_event, kEventBatch> events;
  // One more than `ready` holds, so that a Wake is not left behind a full list.
  const int wanted = static_cast<int>(std::min(events.size(), ready.size() + 1));
  int n = 0;
  while ((n = ::epoll_wait(state.epollFd.Get(), events.data(), wanted, timeout)) < 0) {
    if (errno != EINTR) return WsaErrorFromErrno(errno);
    if (!forever) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
  }
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeData && !woken) {
      std::uint64_t wakes = 0;
      if (::read(state.wakeFd.Get(), &wakes, sizeof wakes) == sizeof wakes) {
        woken = true;
        continue;
      }
    }
    // A socket left out when `ready` is full stays ready for the next Wait.
    if (count < ready.size()) ready[count++] = static_cast<std::uintptr_t>(events[i].data.u64);
  }
  return ERROR_SUCCESS;
}

void EventPoller::Wake() {
  if (!state_->wakeFd.Valid()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t w = ::write(state_->wakeFd.Get(), &one, sizeof one);
}

}  // namespace quoril::platform
