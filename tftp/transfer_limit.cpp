#include "tftp/transfer_limit.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "observe/metrics.h"
#include "platform/handle_limit.h"
#include "tftp/listener.h"

namespace quoril {

namespace {

struct LimitState {
  std::atomic<std::int32_t> bound{static_cast<std::int32_t>(kDefaultMaxTransfers)};
  // Set by a waiter before it looks at the count a last time, cleared by the end that wakes
  // it: either the waiter sees the room or the end sees the waiter.
  std::atomic<bool> roomWanted{false};
  std::atomic<bool> requestsWaiting{false};
  std::atomic<void (*)()> wake{nullptr};
  std::mutex mutex;
  std::condition_variable room;
};

// Never destroyed: a transfer thread may end while the process exits.
LimitState& State() {
  alignas(LimitState) static unsigned char storage[sizeof(LimitState)];
  static LimitState* const state = ::new (storage) LimitState();
  return *state;
}

bool HasRoom() {
  return RunningTransfers.load() < State().bound.load();
}

}  // namespace

std::uint32_t SetTransferBound() {
  std::uint32_t wanted =
      gServerConfig.MaxTransfers != 0 ? gServerConfig.MaxTransfers : kDefaultMaxTransfers;
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
  State().bound.store(static_cast<std::int32_t>(bound));
  return bound;
}

bool AdmitTransfer() {
  const std::int32_t bound = State().bound.load();
  std::int32_t running = RunningTransfers.load();
  do {
    if (running >= bound) return false;
  } while (!RunningTransfers.compare_exchange_weak(running, running + 1));
  State().requestsWaiting.store(false);
  return true;
}

void NoteRequestsWaiting() {
  LimitState& state = State();
  if (state.requestsWaiting.exchange(true)) return;
  if (auto* wake = state.wake.load()) wake();
}

bool RequestsWaiting() {
  return State().requestsWaiting.load() && !HasRoom();
}

bool TransferBoundReached() {
  return !HasRoom();
}

std::chrono::steady_clock::time_point WaitingSince(std::chrono::steady_clock::time_point arrived) {
  // A pause holds requests for as long as it lasts: they are served on continue.
  return std::max(arrived, gLocalAddressTable.sockets.Controls().released);
}

bool RequestExpired(std::chrono::steady_clock::time_point arrived) {
  const bool expired = std::chrono::steady_clock::now() - WaitingSince(arrived) >
                       std::chrono::seconds(gServerConfig.Timeout);
  // Every caller lets an expired request go: it counts as refused at the bound.
  if (expired) CountRequestExpired(ServerMetrics());
  return expired;
}

void TransferEnded() {
  RunningTransfers.fetch_sub(1);
  LimitState& state = State();
  if (!state.roomWanted.exchange(false)) return;
  {
    // Under the lock: the listener cannot be between its last look and its wait.
    std::lock_guard lock(state.mutex);
    state.room.notify_all();
  }
  if (auto* wake = state.wake.load()) wake();
}

void WaitForRoom(std::chrono::milliseconds most) {
  LimitState& state = State();
  std::unique_lock lock(state.mutex);
  state.roomWanted.store(true);
  if (HasRoom()) return;
  state.room.wait_for(lock, most);
}

void SetRoomWake(void (*wake)()) {
  State().wake.store(wake);
}

bool RequestRoomWake() {
  // With room to spare no wake is asked for: each would cost the loops a wake-up at the next
  // end of a transfer, and a loop that follows its controls asks again after every wake-up.
  if (HasRoom()) return true;
  State().roomWanted.store(true);
  return HasRoom();
}

}  // namespace quoril
