#include "tftp/engines/event_loop.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "tftp/engines/loop.h"

namespace quoril {

namespace loops {

namespace {

// Requests taken from one ready port socket before the loop looks at its transfers again.
constexpr int kRequestsPerWake = 8;
// How soon a loop looks again at requests it holds when the request heap was full.
constexpr std::uint32_t kHeapRetryMilliseconds = 10;
constexpr std::size_t kEventsPerWait = 256;
// Watches the port sockets only while requests may be taken (below).
void FollowControls(Loop& loop);

// Takes the requests queued on port socket `port`, each into a record of the request heap
// as the listener of the thread engine does, so that both bound what is in hand alike.
void TakeRequests(Loop& loop, std::uint32_t port) {
  switch (loop.intake.TakeRequests(port, kRequestsPerWake)) {
    case Intake::Taken::kAtBound:
      // At the bound the port sockets are let go until a transfer ends; the requests wait in
      // their queues meanwhile, and transfers whose clients went silent make room for them.
      if (loop.server.local.sockets.AnyQueued()) loop.server.limit.NoteRequestsWaiting();
      FollowControls(loop);
      break;
    case Intake::Taken::kClosed:
      // The address went a moment ago: the wake that says so is on its way.
      if (loop.server.local.sockets.IsOpen(port)) EventReporter(EVENT_SOCKET_READ);
      break;
    case Intake::Taken::kFailed:
      EventReporter(EVENT_SOCKET_READ);
      break;
    case Intake::Taken::kDrained:
    case Intake::Taken::kHeapFull:  // what is not taken now stays queued and wakes a loop again
    case Intake::Taken::kHeapGone:
      break;
  }
}

// Starts the requests this loop holds, oldest first, while requests may start. The port
// sockets are read all the while for the running transfers: a pause or the bound on transfers
// holds requests here instead of in port 69's queue.
void ServeDeferred(Loop& loop) {
  // Other loops hold the heap's records for a moment only.
  loop.heapWasFull = loop.intake.StartDeferred() == Intake::Taken::kHeapFull;
}

// The lone transfer's socket goes back to the poller: another transfer has started, or its
// client was slow to answer.
void TakeBackAside(Loop& loop) {
  const std::uint32_t index = loop.lone.aside;
  if (index == kNone) return;
  loop.lone.aside = kNone;
  Slot& slot = SlotAt(loop, index);
  const TimePoint before = slot.session->deadline;
  if (const Win32Error error = loop.poller.TakeBack(slot.socket, index); error != ERROR_SUCCESS) {
    OnReceiveFailed(*slot.session, error);
    Settle(loop, index, before);
  }
}

// Serves the datagram of a ready transfer socket, and while the transfer is the loop's only
// one its next packets as they come (LoneTransfer); `waiting` continues such a run.
void ServeDatagram(Loop& loop, std::uint32_t index, bool waiting) {
  Slot& slot = SlotAt(loop, index);
  for (int served = 0; served < LoneTransfer::kPacketsPerPoll; ++served) {
    if (!slot.session) return;  // ended earlier in this round
    TransferSession& session = *slot.session;
    platform::SocketAddress sender{};
    std::size_t length = 0;
    Win32Error error = ERROR_SUCCESS;
    if (served == 0 && !waiting) {
      bool gotOne = false;
      error = slot.socket.TryReceive(loop.received, length, sender, gotOne);
      if (!gotOne) return;
    } else {
      if (loop.lone.aside != index) {
        loop.poller.SetAside(slot.socket);
        loop.lone.aside = index;
      }
      platform::WaitResult result = platform::WaitResult::kTimeout;
      error = slot.socket.ReceiveWithin(LoneTransfer::kWaitMilliseconds, loop.received, length,
                                        sender, result);
      const bool inTime = error != ERROR_SUCCESS || result == platform::WaitResult::kReady;
      loop.lone.Answered(inTime);
      if (!inTime) {
        TakeBackAside(loop);
        return;
      }
    }
    if (error == WSAEMSGSIZE) return;  // larger than any packet: dropped
    const TimePoint before = session.deadline;
    if (error != ERROR_SUCCESS) {
      OnReceiveFailed(session, error);
    } else {
      SocketSink sink(slot.socket, loop.scratch);
      OnDatagram(session, std::span(loop.received).first(length), sender, sink,
                 SessionClock::now());
    }
    Settle(loop, index, before);
    if (!loop.lone.Waits(loop.running)) {
      TakeBackAside(loop);
      return;
    }
  }
}

// At the bound, once per server Timeout: whether requests wait (in single-port mode the loops
// see them as they hold them), and while they do, the transfers whose clients have been
// silent past the server's own bound end and make room. Answers how long the loop may wait
// before it looks again.
std::uint32_t MakeRoomForWaitingRequests(Loop& loop) {
  if (!loop.server.limit.BoundReached()) return platform::EventPoller::kWaitForever;
  const TimePoint now = SessionClock::now();
  if (now < loop.nextRoomLook) return MillisecondsUntil(loop.nextRoomLook, now);
  const auto every = std::chrono::seconds(loop.server.config.Timeout);
  loop.nextRoomLook = now + every;
  if (!SinglePort(loop) && !loop.portsWatched && loop.server.local.sockets.AnyQueued()) {
    loop.server.limit.NoteRequestsWaiting();
  }
  if (loop.server.limit.RequestsWaiting()) {
    for (std::uint32_t index = 0; index < loop.chunks.size() * kChunkSlots; ++index) {
      Slot& slot = SlotAt(loop, index);
      if (!slot.session) continue;
      const TimePoint before = slot.session->deadline;
      OnRequestsWaiting(*slot.session, now);
      Settle(loop, index, before);
    }
  }
  return static_cast<std::uint32_t>(std::chrono::milliseconds(every).count());
}

// Watches the open port sockets, or none; again from the start once the address table changed.
void WatchPorts(Loop& loop, bool watch) {
  const std::uint32_t generation = loop.server.local.generation.load();
  if (watch == loop.portsWatched && (!watch || generation == loop.portsGeneration)) return;
  WatchPortSockets(loop.poller, loop.server.local, loop.watchedPorts, watch, kPortKey);
  loop.portsWatched = watch;
  loop.portsGeneration = generation;
}

// A pause or a stop stops taking requests; running transfers go on until the shutdown. So
// does the bound on transfers, until the end of one wakes the loop.
void FollowControls(Loop& loop) {
  if (SinglePort(loop)) {
    // Until the loop ends, for the transfers that run on them.
    WatchPorts(loop, true);
    ServeDeferred(loop);
    return;
  }
  const auto controls = loop.server.controls.Now();
  WatchPorts(loop,
             !controls.held && !controls.stopRequested && loop.server.limit.RequestRoomWake());
}

void EndEveryTransfer(Loop& loop) {
  for (std::uint32_t index = 0; index < loop.chunks.size() * kChunkSlots; ++index) {
    Slot& slot = SlotAt(loop, index);
    if (!slot.session) continue;
    OnReceiveFailed(*slot.session, ERROR_OPERATION_ABORTED);
    Release(loop, index);
  }
  loop.intake.ClearDeferred();
}

void RunLoop(void* argument) {
  Loop& loop = *static_cast<Loop*>(argument);
  std::array<std::uintptr_t, kEventsPerWait> ready{};
  if (loop.follower != nullptr &&
      loop.poller.AddWatcher(loop.follower->Watcher(), kWatcherKey) != ERROR_SUCCESS) {
    loop.follower = nullptr;
  }
  FollowControls(loop);
  for (;;) {
    std::uint32_t wait = ExpireDeadlines(loop);
    if (!loop.portWaiters.empty()) {
      wait = std::min(wait, MillisecondsUntil(loop.nextPortTry, SessionClock::now()));
    }
    if (loop.heapWasFull) wait = std::min(wait, kHeapRetryMilliseconds);
    wait = std::min(wait, MakeRoomForWaitingRequests(loop));
    if (loop.lone.aside != kNone) wait = 0;  // only a look: the lone transfer waits on its socket
    ShrinkIfIdle(loop);
    std::size_t count = 0;
    bool woken = false;
    if (loop.poller.Wait(wait, ready, count, woken) != ERROR_SUCCESS) {
      // As the listener of the thread engine: a wait that fails ends what this loop serves.
      EventReporter(EVENT_SOCKET_BLOCK);
      break;
    }
    if (woken) {
      if (loop.quit.load()) break;
      ServeMailbox(loop);
      FollowControls(loop);
      StartGranted(loop);
    } else if (loop.heapWasFull) {
      ServeDeferred(loop);
    }
    if (!loop.portWaiters.empty() && (woken || SessionClock::now() >= loop.nextPortTry)) {
      RetryPortWaiters(loop);
    }
    // Running transfers first: what their clients sent came before the new requests.
    for (std::size_t k = 0; k < count; ++k) {
      if ((ready[k] & kPortKey) == 0) {
        ServeDatagram(loop, static_cast<std::uint32_t>(ready[k]), false);
      }
    }
    for (std::size_t k = 0; k < count; ++k) {
      if (ready[k] != kWatcherKey) continue;
      // Every loop, this one too, takes up the changed table when woken.
      if (!loop.follower->Follow()) {
        loop.poller.RemoveWatcher(loop.follower->Watcher());
        loop.follower = nullptr;
      }
    }
    for (std::size_t k = 0; k < count && loop.portsWatched; ++k) {
      if ((ready[k] & kPortKey) == 0 || ready[k] == kWatcherKey) continue;
      const auto port = static_cast<std::uint32_t>(ready[k] & ~kPortKey);
      if (SinglePort(loop)) {
        if (loop.intake.TakeDatagrams(port, Intake::kDatagramsPerRound)) ServeDeferred(loop);
      } else {
        TakeRequests(loop, port);
      }
    }
    if (loop.lone.aside != kNone) {
      if (loop.running == 1) {
        ServeDatagram(loop, loop.lone.aside, true);
      } else {
        TakeBackAside(loop);
      }
    }
  }
  WatchPorts(loop, false);
  if (loop.follower != nullptr) loop.poller.RemoveWatcher(loop.follower->Watcher());
  EndEveryTransfer(loop);
  loop.server.ports.Withdraw(loop.gates);
}

}  // namespace

}  // namespace loops

using loops::Loop;

// The loops, and the room wake of them all.
struct EventLoops::Engine final : Waker {
  void Wake() override {
    for (auto& loop : loops) loop->poller.Wake();
  }
  std::vector<std::unique_ptr<Loop>> loops;
  std::atomic<bool> quit{false};
};

EventLoops::EventLoops(ServerState& server)
    : server_(server), engine_(std::make_unique<Engine>()) {}

EventLoops::~EventLoops() {
  Stop();
}

bool EventLoops::Start(std::uint32_t count, AddressFollower* follower) {
  engine_->quit.store(false);
  engine_->loops.clear();
  for (std::uint32_t k = 0; k < count; ++k) {
    auto loop = std::make_unique<Loop>(server_, engine_->quit);
    loop->received.resize(LargestPacket(server_.config));
    if (loop->poller.Create() != ERROR_SUCCESS) {
      Stop();
      return false;
    }
    if (k == 0 && follower != nullptr && follower->IsOpen()) loop->follower = follower;
    engine_->loops.push_back(std::move(loop));
  }
  // Every control, and the end of a transfer at the bound, wakes every loop.
  if (!server_.controls.AddWaker(*engine_)) {
    Stop();
    return false;
  }
  server_.limit.SetRoomWake(engine_.get());
  for (auto& loop : engine_->loops) {
    if (loop->thread.Start(loops::RunLoop, loop.get()) != ERROR_SUCCESS) {
      Stop();
      return false;
    }
  }
  return true;
}

void EventLoops::Stop() {
  engine_->quit.store(true);
  for (auto& loop : engine_->loops) loop->poller.Wake();
  for (auto& loop : engine_->loops) {
    if (loop->thread.IsStarted()) loop->thread.Join();
  }
  server_.controls.RemoveWaker(*engine_);
  engine_->loops.clear();
  server_.limit.SetRoomWake(nullptr);
}

}  // namespace quoril