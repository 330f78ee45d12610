// The port-69 sockets.
#include "platform/sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

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
};

PortSocketSet::PortSocketSet() : state_(std::make_unique<State>()) {
  state_->fds.fill(-1);
  state_->placeholder = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PortSocketSet::~PortSocketSet() {
  for (std::uint32_t k = 0; k < kCapacity; ++k) Close(k);
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
  EnlargeReceiveBuffer(state_->fds[index]);
  // Each request carries when it arrived, so that one that waited too long is let go.
  const int on = 1;
  ::setsockopt(state_->fds[index], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
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

}  // namespace quoril::platform
