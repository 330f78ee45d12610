#include "tftp/engines/thread_engine.h"

#include <array>

#include "config/event_reporter.h"

namespace quoril {

namespace {

// How often the listener, waiting for a transfer to end at the bound, looks for a stop.
constexpr auto kRoomCheck = std::chrono::milliseconds(100);
// Datagrams taken from one ready port socket in one round, in single-port mode.
constexpr int kDatagramsPerRound = 32;

}  // namespace

void ThreadHandOver::StartRequest(RequestRecord* record) {
  const ThreadStart start = StartTransferThread(server_, record);
  if (start == ThreadStart::kStarted) return;
  // Only this request is lost; the service goes on.
  if (start == ThreadStart::kNoThread) EventReporter(EVENT_THREAD_CREATE);
  server_.requestHeap.Free(record);
  server_.limit.Ended();
}

std::uint32_t ReceiveRequests(ServerState& server) {
  LocalAddressTable& table = server.local;
  TransferLimit& limit = server.limit;
  ThreadHandOver handOver(server);
  Intake intake(server, handOver, nullptr, Intake::HeapFull::kWait);
  ThreadWaker room(server.cancel);
  limit.SetRoomWake(&room);
  const std::uint32_t count = table.count;
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
    platform::PortSocketSet::ReadSet set;
    std::uint32_t inSet = 0;
    for (std::uint32_t k = count; k-- > 0 && inSet < platform::PortSocketSet::kMaxWaitSet;) {
      set.set(k);
      ++inSet;
    }
    if (table.sockets.Wait(set) != ERROR_SUCCESS) {
      failure = EVENT_SOCKET_BLOCK;
      break;
    }
    if (table.sockets.Controls().stopRequested) break;
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

bool PortRouter::Start() {
  LocalAddressTable& table = server_.local;
  if (table.count == 0 || poller_.Create() != ERROR_SUCCESS ||
      table.sockets.AddObserver(poller_) != ERROR_SUCCESS) {
    return false;
  }
  observing_ = true;
  for (std::uint32_t k = 0; k < table.count; ++k) {
    if (poller_.AddPort(table.sockets, k, k) != ERROR_SUCCESS) return false;
    ports_ = k + 1;
  }
  server_.limit.SetRoomWake(&waker_);
  waking_ = true;
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
  for (std::uint32_t k = ports_; k-- > 0;) poller_.RemovePort(server_.local.sockets, k);
  ports_ = 0;
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
    intake_.TakeDatagrams(static_cast<std::uint32_t>(ready[k]), kDatagramsPerRound);
  }
  return true;
}

}  // namespace quoril
