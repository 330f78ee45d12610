#include "tftp/admission/transfer_limit.h"

#include <algorithm>

#include "config/event_reporter.h"
#include "platform/handle_limit.h"
#include "tftp/admission/waker.h"

namespace quoril {

std::uint32_t TransferLimit::SetBound(std::uint32_t maxTransfers) {
  std::uint32_t wanted = maxTransfers != 0 ? maxTransfers : kDefaultMaxTransfers;
  wanted = std::min<std::uint32_t>(wanted, 0x7FFFFFFF / kHandlesPerTransfer - kReservedHandles);
  const std::uint32_t handles =
      platform::RaiseHandleLimit(wanted * kHandlesPerTransfer + kReservedHandles);
  const std::uint32_t fits =
      handles > kReservedHandles ? (handles - kReservedHandles) / kHandlesPerTransfer : 0;
  std::uint32_t bound = wanted;
  if (fits < wanted) {
    bound = std::max<std::uint32_t>(fits, 1);
    EventReporter(EVENT_TRANSFERS_LIMITED);
  }
  bound_.store(static_cast<std::int32_t>(bound));
  return bound;
}

bool TransferLimit::Admit() {
  const std::int32_t bound = bound_.load();
  std::int32_t running = running_.load();
  do {
    if (running >= bound) return false;
  } while (!running_.compare_exchange_weak(running, running + 1));
  requestsWaiting_.store(false);
  return true;
}

// Rare (a first note, an end that a waiter asked for): a lock is cheap here.
void TransferLimit::CallWake() {
  std::lock_guard lock(wakeMutex_);
  if (wake_ != nullptr) wake_->Wake();
}

void TransferLimit::SetRoomWake(Waker* wake) {
  std::lock_guard lock(wakeMutex_);
  wake_ = wake;
}

void TransferLimit::NoteRequestsWaiting() {
  if (requestsWaiting_.exchange(true)) return;
  CallWake();
}

bool TransferLimit::RequestsWaiting() const {
  return requestsWaiting_.load() && !HasRoom();
}

void TransferLimit::Ended() {
  running_.fetch_sub(1);
  if (roomWanted_.exchange(false)) CallWake();
}

bool TransferLimit::RequestRoomWake() {
  // With room to spare no wake is asked for: each would cost the loops a wake-up at the next
  // end of a transfer, and a loop that follows its controls asks again after every wake-up.
  if (HasRoom()) return true;
  roomWanted_.store(true);
  return HasRoom();
}

}  // namespace quoril
