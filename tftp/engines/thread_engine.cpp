#include "tftp/engines/thread_engine.h"

#include <array>

#include "config/event_reporter.h"
#include "tftp/intake/address_follower.h"

namespace quoril {

namespace {

// How often the listener, waiting for a transfer to end at the bound, looks for a stop.
constexpr auto kRoomCheck = std::chrono::milliseconds(100);
// Datagrams taken from one ready port socket in one round, in single-port mode.
constexpr int kDatagramsPerRound = 32;
// The address watcher's key in the router's poller, beyond every port socket's index.
constexpr std::uintptr_t kWatcherKey = platform::PortSocketSet::kCapacity;

}  // namespace

void ThreadHandOver::StartRequest(RequestRecord* record) {
  const ThreadStart start = StartTransferThread(server_, record);
  if (start == ThreadStart::kStarted) return;
  // Only this request is lost; the service goes on.
  if (start == ThreadStart::kNoThread) EventReporter(EVENT_THREAD_CREATE);
  server_.requestHeap.Free(record);
  server_.limit.Ended();
}

std::uint32_t ReceiveRequests(ServerState& server, AddressFollower& follower) {
  LocalAddressTable& table = server.local;
  TransferLimit& limit = server.limit;
  ThreadHandOver handOver(server);
  Intake intake(server, handOver, nullptr, Intake::HeapFull::kWait);
  ThreadWaker room(server.cancel);
  limit.SetRoomWake(&room);
  const platform::AddressWatcher* watcher = follower.IsOpen() ? &follower.Watcher() : nullptr;
  // The socket served last. Each pass looks first at the one below it and wraps around, so
  // that a flooded address cannot starve the others; the first pass starts at the highest.
  std::uint32_t last = 0;
  std::uint32_t failure = 0;
  for (;;) {
    // At the bound the requests wait in the port sockets' queues until a transfer ends. A stop
    // goes on to the wait below, which the stop ends.
    if (!limit.RequestRoomWake() && !table.sockets.Controls().stopRequested) {
      // Requests that wait meanwhile let transfers whose clients went silent make room.
      if (!limit.RequestsWaiting() && table.sockets.AnyQueued()) limit.NoteRequestsWaiting();
      room.WaitUntil(std::chrono::steady_clock::now() + kRoomCheck);
      continue;
    }
    const std::uint32_t count = table.count;
    platform::PortSocketSet::ReadSet set;
    for (std::uint32_t k = count; k-- > 0;) {
      if (table.sockets.IsOpen(k)) set.set(k);
    }
    bool changes = false;
    if (table.sockets.Wait(set, watcher, &changes) != ERROR_SUCCESS) {
      failure = EVENT_SOCKET_BLOCK;
      break;
    }
    if (table.sockets.Controls().stopRequested) break;
    if (changes && !follower.Follow()) watcher = nullptr;
    std::uint32_t k = count;
    for (std::uint32_t step = 1; step <= count; ++step) {
      const std::uint32_t candidate = (last + count - step) % count;
      if (set.test(candidate)) {
        k = candidate;
        break;
      }
    }
    if (k >= count) continue;
    last = k;
    const Intake::Taken taken = intake.TakeRequests(k, 1);
    if (taken == Intake::Taken::kClosed) break;
    if (taken == Intake::Taken::kHeapGone || taken == Intake::Taken::kFailed) {
      failure = taken == Intake::Taken::kFailed ? EVENT_SOCKET_READ : EVENT_REQUEST_MEMORY;
      break;
    }
  }
  limit.SetRoomWake(nullptr);
  return failure;
}

PortRouter::PortRouter(ServerState& server)
    : server_(server),
      handOver_(server),
      intake_(server, handOver_, nullptr, Intake::HeapFull::kWait) {}

bool PortRouter::Start(AddressFollower& follower) {
  LocalAddressTable& table = server_.local;
  if ((table.count == 0 && !follower.IsOpen()) || poller_.Create() != ERROR_SUCCESS ||
      table.sockets.AddObserver(poller_) != ERROR_SUCCESS) {
    return false;
  }
  observing_ = true;
  if (follower.IsOpen()) {
    if (poller_.AddWatcher(follower.Watcher(), kWatcherKey) != ERROR_SUCCESS) return false;
    follower_ = &follower;
  }
  if (!WatchPorts()) return false;
  server_.limit.SetRoomWake(&waker_);
  waking_ = true;
  return true;
}

bool PortRouter::WatchPorts() {
  LocalAddressTable& table = server_.local;
  for (std::uint32_t k = 0; k < platform::PortSocketSet::kCapacity; ++k) {
    if (watched_.test(k)) poller_.RemovePort(table.sockets, k);
  }
  watched_.reset();
  for (std::uint32_t k = 0; k < table.count; ++k) {
    if (!table.sockets.IsOpen(k)) continue;
    if (poller_.AddPort(table.sockets, k, k) != ERROR_SUCCESS) return false;
    watched_.set(k);
  }
  return true;
}

std::uint32_t PortRouter::Serve() {
  while (!server_.local.sockets.Controls().stopRequested) {
    intake_.StartDeferred();
    if (!Round(platform::EventPoller::kWaitForever)) return EVENT_SOCKET_BLOCK;
  }
  return 0;
}

bool PortRouter::RouteFor(std::chrono::milliseconds most) {
  const auto end = std::chrono::steady_clock::now() + most;
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    if (!Round(static_cast<std::uint32_t>(left))) return false;
  }
  return true;
}

void PortRouter::Finish() {
  if (waking_) server_.limit.SetRoomWake(nullptr);
  waking_ = false;
  for (std::uint32_t k = 0; k < platform::PortSocketSet::kCapacity; ++k) {
    if (watched_.test(k)) poller_.RemovePort(server_.local.sockets, k);
  }
  watched_.reset();
  if (follower_ != nullptr) poller_.RemoveWatcher(follower_->Watcher());
  follower_ = nullptr;
  if (observing_) server_.local.sockets.RemoveObserver(poller_);
  observing_ = false;
  intake_.ClearDeferred();
}

// One wait and what it found; false when the wait failed.
bool PortRouter::Round(std::uint32_t timeoutMilliseconds) {
  std::array<std::uintptr_t, platform::PortSocketSet::kMaxWaitSet> ready{};
  std::size_t count = 0;
  bool woken = false;
  if (poller_.Wait(timeoutMilliseconds, ready, count, woken) != ERROR_SUCCESS) return false;
  for (std::size_t k = 0; k < count; ++k) {
    if (ready[k] != kWatcherKey) {
      intake_.TakeDatagrams(static_cast<std::uint32_t>(ready[k]), kDatagramsPerRound);
    } else if (!follower_->Follow()) {
      poller_.RemoveWatcher(follower_->Watcher());
      follower_ = nullptr;
    } else if (!WatchPorts()) {
      return false;
    }
  }
  return true;
}

}  // namespace quoril
