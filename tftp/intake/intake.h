// The one reader of port 69, for both engines and both port modes: it reads a port socket,
// tells requests from datagrams of running transfers (single-port mode) and from strangers,
// fills the request's record and holds requests back while paused or at the bound on
// transfers. The engine decides only who serves what it is handed.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "platform/event_poller.h"
#include "tftp/state/server_state.h"

namespace quoril {

// The largest datagram any transfer may be sent under `config`.
std::size_t LargestPacket(const ServerConfig& config);

// Watches in `poller` the open port sockets of the address table as it stands now, each keyed
// by its index with `keyBits`, or (!watch) none; `watched` holds those watched. Answers false
// when one could not be watched.
bool WatchPortSockets(platform::EventPoller& poller, const LocalAddressTable& table,
                      platform::PortSocketSet::ReadSet& watched, bool watch,
                      std::uintptr_t keyBits);

// Requests read from port 69 while none may start (paused, or at the bound on transfers), in
// the order they came, for the one reader that holds them. A client that asks again while it
// waits replaces its earlier request; beyond kMost, requests are dropped, and a client's retry
// finds room later.
class DeferredRequests {
 public:
  static constexpr std::size_t kMost = 1024;
  // `held`, when given, counts the requests held here.
  explicit DeferredRequests(std::atomic<std::int64_t>* held = nullptr) : held_(held) {}
  // Port 69 is read as datagrams come in this mode: the read tells when one arrived.
  void Add(std::uint32_t localIndex, const platform::SocketAddress& local,
           const platform::SocketAddress& from, std::span<const std::uint8_t> datagram);
  bool Empty() const { return requests_.empty(); }
  // Moves the oldest into `record`.
  void TakeOldest(RequestRecord& record);
  void Clear() {
    Count(-static_cast<std::int64_t>(requests_.size()));
    requests_.clear();
  }

 private:
  void Count(std::int64_t change) {
    if (held_ != nullptr) *held_ += change;
  }

  std::deque<RequestRecord> requests_;
  std::atomic<std::int64_t>* held_;
};

// What the intake hands an engine.
class IntakeEngine {
 public:
  // A request counted in under the bound, in a record of the request heap: the engine owns
  // both from here on (its transfer frees the record and counts itself out).
  virtual void StartRequest(RequestRecord* record) = 0;
  // Single-port mode: a datagram of a transfer of the engine's own mailbox, named by `key`.
  virtual void ServeOwn(std::uint64_t key, std::span<const std::uint8_t> datagram,
                        const platform::SocketAddress& from) = 0;

 protected:
  ~IntakeEngine() = default;
};

class Intake {
 public:
  // A full request heap: the thread engine waits for a transfer to free its record, a loop
  // looks again soon (another loop holds the records for a moment only).
  enum class HeapFull : std::uint8_t { kWait, kLookAgain };
  enum class Taken : std::uint8_t {
    kDrained,   // nothing more queued, or as many taken as asked
    kAtBound,   // no room under the bound on transfers
    kHeapFull,  // kLookAgain only
    kHeapGone,  // the request heap is destroyed
    kClosed,    // the port socket is closed (the stop)
    kFailed,    // a read failed otherwise
  };

  // `own`: the mailbox of the engine's own transfers in single-port mode (null for none).
  Intake(ServerState& server, IntakeEngine& engine, const Mailbox* own, HeapFull heapFull);
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;

  // Transfer sockets: takes up to `most` requests queued on port socket `port`, each counted
  // in under the bound before it is read, so that at the bound they wait in the socket's queue.
  // A request that waited longer than the server's Timeout goes unanswered.
  Taken TakeRequests(std::uint32_t port, int most);
  // Datagrams taken from one ready port socket in one round, in single-port mode.
  static constexpr int kDatagramsPerRound = 32;
  // Single-port mode: reads up to `most` datagrams of port socket `port`; a datagram of a
  // running transfer goes to its owner, a request waits in the deferred requests. Answers
  // whether any request was deferred.
  bool TakeDatagrams(std::uint32_t port, int most);
  // Starts the deferred requests, oldest first, while requests may start; answers kHeapFull
  // when the heap was, kDrained otherwise. At the stop they are dropped.
  Taken StartDeferred();
  void ClearDeferred() { deferred_.Clear(); }

 private:
  RequestRecord* AllocateRecord();

  ServerState& server_;
  IntakeEngine& engine_;
  const Mailbox* own_;
  HeapFull heapFull_;
  std::vector<std::uint8_t> buffer_;  // a datagram as large as any transfer's
  DeferredRequests deferred_;
};

}  // namespace quoril
