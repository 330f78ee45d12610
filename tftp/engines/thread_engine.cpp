#include "tftp/engines/thread_engine.h"

#include <array>
#include <thread>

#include "config/event_reporter.h"
#include "tftp/intake/address_follower.h"

namespace quoril {

namespace {

// How often the reader, waiting for a transfer to end at the bound, looks for a stop.
constexpr auto kRoomCheck = std::chrono::milliseconds(100);
// The address watcher's key in the router's poller, beyond every port socket's index.
constexpr std::uintptr_t kWatcherKey = platform::PortSocketSet::kCapacity;

}  // namespace

PortReader::PortReader(ServerState& server)
    : server_(server),
      singlePort_(server.config.SinglePort != 0),
      intake_(server, *this, nullptr, Intake::HeapFull::kWait),
      room_(server.cancel) {}

bool PortReader::Start(AddressFollower& follower) {
  if ((server_.local.count == 0 && !follower.IsOpen()) || poller_.Create() != ERROR_SUCCESS ||
      !server_.controls.AddWaker(waker_)) {
    return false;
  }
  registered_ = true;
  if (follower.IsOpen()) {
    if (poller_.AddWatcher(follower.Watcher(), kWatcherKey) != ERROR_SUCCESS) return false;
    follower_ = &follower;
  }
  if (!WatchPortSockets(poller_, server_.local, watched_, true, 0)) return false;
  server_.limit.SetRoomWake(singlePort_ ? static_cast<Waker*>(&waker_) : &room_);
  waking_ = true;
  return true;
}

std::uint32_t PortReader::Serve() {
  std::uint32_t failure = 0;
  TransferLimit& limit = server_.limit;
  for (;;) {
    if (singlePort_) {
      if (server_.controls.Now().stopRequested) break;
      intake_.StartDeferred();
    } else if (!limit.RequestRoomWake() && !server_.controls.Now().stopRequested) {
      // At the bound the requests wait in the port sockets' queues until a transfer ends;
      // those that wait meanwhile let transfers whose clients went silent make room.
      if (!limit.RequestsWaiting() && server_.local.sockets.AnyQueued()) {
        limit.NoteRequestsWaiting();
      }
      room_.WaitUntil(std::chrono::steady_clock::now() + kRoomCheck);
      continue;
    } else if (const auto controls = server_.controls.Now(); controls.stopRequested) {
      // The stop closes port 69 at once: later requests are refused, not left unanswered.
      Finish();
      for (std::uint32_t k = 0; k < platform::PortSocketSet::kCapacity; ++k) {
        server_.local.sockets.Close(k);
      }
      break;
    } else if (controls.held) {
      server_.controls.WaitWhileHeld();
      continue;
    }
    if (!Round(platform::EventPoller::kWaitForever, failure)) break;
  }
  return failure;
}

bool PortReader::RouteFor(std::chrono::milliseconds most) {
  if (!singlePort_) {
    std::this_thread::sleep_for(most);
    return true;
  }
  const auto end = std::chrono::steady_clock::now() + most;
  std::uint32_t failure = 0;
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    if (!Round(static_cast<std::uint32_t>(left), failure)) return false;
  }
  return true;
}

void PortReader::Finish() {
  if (waking_) server_.limit.SetRoomWake(nullptr);
  waking_ = false;
  WatchPortSockets(poller_, server_.local, watched_, false, 0);
  if (follower_ != nullptr) poller_.RemoveWatcher(follower_->Watcher());
  follower_ = nullptr;
  if (registered_) server_.controls.RemoveWaker(waker_);
  registered_ = false;
  intake_.ClearDeferred();
}

bool PortReader::Round(std::uint32_t timeoutMilliseconds, std::uint32_t& failure) {
  // Left uncleared: the wait fills the first `count`, and clearing 2 KiB at every request
  // cost the reader more than the rest of its round.
  std::array<std::uintptr_t, platform::PortSocketSet::kMaxWaitSet> ready;
  std::size_t count = 0;
  bool woken = false;
  if (poller_.Wait(timeoutMilliseconds, ready, count, woken) != ERROR_SUCCESS) {
    failure = EVENT_SOCKET_BLOCK;
    return false;
  }
  // With transfer sockets, a pause or stop that came meanwhile takes nothing more.
  const auto controls = server_.controls.Now();
  const bool takeRequests = !singlePort_ && !controls.held && !controls.stopRequested;
  for (std::size_t k = 0; k < count; ++k) {
    const auto port = static_cast<std::uint32_t>(ready[k]);
    if (ready[k] == kWatcherKey) {
      if (!follower_->Follow()) {
        poller_.RemoveWatcher(follower_->Watcher());
        follower_ = nullptr;
      } else if (!WatchPortSockets(poller_, server_.local, watched_, true, 0)) {
        failure = EVENT_SOCKET_BLOCK;
        return false;
      }
    } else if (singlePort_) {
      intake_.TakeDatagrams(port, Intake::kDatagramsPerRound);
    } else if (takeRequests && server_.local.sockets.IsOpen(port)) {
      // One request a socket each round, so that a flooded address cannot starve the others.
      switch (intake_.TakeRequests(port, 1)) {
        case Intake::Taken::kClosed:
          return false;
        case Intake::Taken::kHeapGone:
          failure = EVENT_REQUEST_MEMORY;
          return false;
        case Intake::Taken::kFailed:
          failure = EVENT_SOCKET_READ;
          return false;
        default:
          break;
      }
    }
  }
  return true;
}

}  // namespace quoril
