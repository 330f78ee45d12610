// The bound on transfers at once (MaxTransfers). At the bound the listener, or every event
// loop, takes no new datagram until a transfer ends: requests wait in port 69's receive queue,
// so that a flood costs a fixed amount of memory and descriptors and a normal client's request
// is served as soon as there is room, or recovered by its retry.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quoril {

class Waker;

// Absent MaxTransfers: about 40 KiB per transfer at most (a thread's stack in use and its
// record), so that a flood stays well within 256 MiB, with room for a burst of 1000 clients.
inline constexpr std::uint32_t kDefaultMaxTransfers = 4096;
// What one transfer may hold open at once: its socket, and for an upload the directory, the
// file it replaces and the new file.
inline constexpr std::uint32_t kHandlesPerTransfer = 4;
// Descriptors kept for everything else: port sockets, event loops, logs, the registry.
inline constexpr std::uint32_t kReservedHandles = 256;

// Every call may come from any thread.
class TransferLimit {
 public:
  // Sets the bound of this run from MaxTransfers (0 takes the default), raising the process's
  // descriptor limit as far as the system allows; if that is still too low, the bound is cut
  // to fit and EVENT_TRANSFERS_LIMITED reported. Called at start-up, before any transfer
  // exists. Answers the bound.
  std::uint32_t SetBound(std::uint32_t maxTransfers);

  // Counts one more transfer when fewer than the bound run; answers whether it did.
  bool Admit();
  // Counts a transfer out (one that Admit counted) and wakes whoever waits for room.
  void Ended();
  // The transfers counted in now.
  std::int32_t Running() const { return running_.load(); }
  // Requests wait at the bound: noted by whoever holds or sees one it could not admit (in a
  // port socket's queue, or read and held in single-port mode); forgotten at the next
  // admission. The first note after an admission calls the room wake (SetRoomWake), so that
  // the event loops look at their transfers.
  void NoteRequestsWaiting();
  // Whether requests wait at the bound now: then a transfer whose client has been silent past
  // the server's own bound makes room for them (OnRequestsWaiting of the session).
  bool RequestsWaiting() const;
  // Whether as many transfers run as the bound allows.
  bool BoundReached() const { return !HasRoom(); }
  // The engine: `wake` is woken (from any thread) when a transfer ends while the engine
  // waits for room, that is, after RequestRoomWake and before the next such wake, or at the
  // first note of waiting requests. Null for none; once it is set to null, `wake` is woken
  // no more and may go.
  void SetRoomWake(Waker* wake);
  // Answers whether there is room; when there is none, asks for the wake at the next end of a
  // transfer (the caller waits for it instead of taking requests).
  bool RequestRoomWake();

 private:
  bool HasRoom() const { return running_.load() < bound_.load(); }
  void CallWake();

  std::atomic<std::int32_t> running_{0};
  std::atomic<std::int32_t> bound_{static_cast<std::int32_t>(kDefaultMaxTransfers)};
  // Set by a waiter before it looks at the count a last time, cleared by the end that wakes
  // it: either the waiter sees the room or the end sees the waiter.
  std::atomic<bool> roomWanted_{false};
  std::atomic<bool> requestsWaiting_{false};
  std::mutex wakeMutex_;
  Waker* wake_ = nullptr;
};

}  // namespace quoril
