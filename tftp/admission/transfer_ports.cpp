#include "tftp/admission/transfer_ports.h"

namespace quoril {

void TransferPorts::Prepare(std::uint16_t low, std::uint16_t high, std::uint32_t addresses,
                            std::uint32_t start) {
  std::lock_guard lock(mutex_);
  low_ = low;
  size_ = low != 0 && high >= low ? std::uint32_t{high} - low + 1 : 0;
  cursor_ = size_ != 0 ? start % size_ : 0;
  held_.assign((std::size_t{size_} * addresses + 63) / 64, 0);
  heldCount_.assign(addresses, 0);
}

bool TransferPorts::Held(std::uint32_t localIndex, std::uint32_t offset) const {
  const std::size_t bit = std::size_t{localIndex} * size_ + offset;
  return (held_[bit / 64] >> (bit % 64) & 1) != 0;
}

void TransferPorts::SetHeld(std::uint32_t localIndex, std::uint32_t offset, bool held) {
  const std::size_t bit = std::size_t{localIndex} * size_ + offset;
  const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
  if (held) {
    held_[bit / 64] |= mask;
    ++heldCount_[localIndex];
  } else {
    held_[bit / 64] &= ~mask;
    --heldCount_[localIndex];
  }
}

PortOpen TransferPorts::Open(platform::UdpSocket& socket, platform::SocketAddress local,
                             std::uint32_t localIndex, GateWaiter& waiter, std::uint16_t& port) {
  port = 0;
  // Without a range nothing is shared: no lock.
  if (size_ == 0)
    return socket.Open(local) == ERROR_SUCCESS ? PortOpen::kOpened : PortOpen::kFailed;
  std::lock_guard lock(mutex_);
  if (localIndex < heldCount_.size() && heldCount_[localIndex] < size_) {
    for (std::uint32_t tried = 0; tried < size_; ++tried) {
      const std::uint32_t offset = cursor_;
      cursor_ = cursor_ + 1 == size_ ? 0 : cursor_ + 1;
      if (Held(localIndex, offset)) continue;
      const auto candidate = static_cast<std::uint16_t>(low_ + offset);
      local.SetPort(candidate);
      const Win32Error error = socket.Open(local);
      if (error == ERROR_SUCCESS) {
        SetHeld(localIndex, offset, true);
        port = candidate;
        return PortOpen::kOpened;
      }
      // Held by another program (or kept from this one by the system): the next one.
      if (error != WSAEADDRINUSE && error != WSAEACCES) return PortOpen::kFailed;
    }
  }
  if (!waiter.listed_) {
    waiter.previous_ = nullptr;
    waiter.next_ = waiters_;
    if (waiters_ != nullptr) waiters_->previous_ = &waiter;
    waiters_ = &waiter;
    waiter.listed_ = true;
  }
  return PortOpen::kBusy;
}

void TransferPorts::Unlist(GateWaiter& waiter) {
  if (!waiter.listed_) return;
  (waiter.previous_ != nullptr ? waiter.previous_->next_ : waiters_) = waiter.next_;
  if (waiter.next_ != nullptr) waiter.next_->previous_ = waiter.previous_;
  waiter.previous_ = waiter.next_ = nullptr;
  waiter.listed_ = false;
}

void TransferPorts::Release(std::uint32_t localIndex, std::uint16_t port) {
  if (port == 0) return;
  std::lock_guard lock(mutex_);
  const std::uint32_t offset = std::uint32_t{port} - low_;
  if (size_ == 0 || port < low_ || offset >= size_ || localIndex >= heldCount_.size() ||
      !Held(localIndex, offset)) {
    return;
  }
  SetHeld(localIndex, offset, false);
  // Every waiter tries again: the first to open takes the port, the others wait anew.
  while (GateWaiter* waiter = waiters_) {
    Unlist(*waiter);
    waiter->waker_.Wake();
  }
}

PortWait TransferPorts::Await(GateWaiter& waiter, ThreadWaker& waker, Clock::time_point until) {
  for (;;) {
    // A wake may be another gate's, given before this wait: only the port's unlisting counts.
    const ThreadWaker::Woken woken = waker.WaitUntil(until);
    std::lock_guard lock(mutex_);
    if (woken == ThreadWaker::Woken::kCancelled) {
      Unlist(waiter);
      return PortWait::kCancelled;
    }
    if (!waiter.listed_) return PortWait::kNotified;
    if (woken == ThreadWaker::Woken::kTimedOut) {
      Unlist(waiter);
      return PortWait::kTimedOut;
    }
  }
}

void TransferPorts::Withdraw(GateWaiter& waiter) {
  std::lock_guard lock(mutex_);
  Unlist(waiter);
}

}  // namespace quoril
