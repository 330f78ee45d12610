// The inside of the event-loop engine, shared by its parts: a loop with its slots and the
// deadline lists of its transfers (loop_slots), the start and feeding of its sessions
// (loop_sessions) and the loop itself (event_loop).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/event_poller.h"
#include "platform/threads.h"
#include "tftp/admission/waker.h"
#include "tftp/engines/socket_sink.h"
#include "tftp/intake/address_follower.h"
#include "tftp/intake/intake.h"
#include "tftp/session/transfer_session.h"

namespace quoril::loops {

using TimePoint = SessionClock::time_point;

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// Poller keys: a port socket's index with this bit, else a transfer's slot.
constexpr std::uintptr_t kPortKey = std::uintptr_t{1} << (sizeof(std::uintptr_t) * 8 - 1);
// The address watcher's key, beyond every port socket's.
constexpr std::uintptr_t kWatcherKey = kPortKey | 0xFFFFFFu;
// Slots come in chunks, so that a burst costs a few allocations and a steady load none.
constexpr std::uint32_t kChunkSlots = 16;
// A pool that held at least this many transfers at once is handed back to the system once its
// last transfer has ended, so that a burst's sessions do not stay resident after it.
constexpr std::uint32_t kReleaseAfterBurst = 32;
// Deadlines are kept in one list per wait, in seconds: a deadline is always set to now plus
// the session's wait, so appending keeps each list in order.
constexpr std::size_t kTimeoutLists = 256;

// How long a loop may wait for `when`: whole milliseconds, rounded up, 0 once it has passed.
inline std::uint32_t MillisecondsUntil(TimePoint when, TimePoint now) {
  if (when <= now) return 0;
  return static_cast<std::uint32_t>(
      std::chrono::ceil<std::chrono::milliseconds>(when - now).count());
}

struct Slot {
  std::optional<TransferSession> session;
  platform::UdpSocket socket;
  // The session's name in the endpoint table, unique within the loop.
  std::uint32_t generation = 0;
  ReplyBudget budget;
  std::uint32_t previous = kNone;  // neighbours in the deadline list
  std::uint32_t next = kNone;
  std::uint8_t list = 0;
  bool filed = false;
  std::uint16_t port = 0;     // of the transfer port range, 0 for none
  bool waitsForPort = false;  // listed in the loop's portWaiters
};

// The lone-transfer strategy: a loop that serves one transfer waits for that client's next
// packet on the transfer's socket itself, as a transfer thread does, with the socket set aside
// from the poller: one call per packet instead of a wait in the poller and a receive, and on
// Linux no watch run by each datagram sent. The same build without it, side by side (one
// loop, a single download, 5 repetitions), spent 23 % more server CPU per block in octet,
// 25 % more with blksize 1468 and 13 % more in netascii, in every repetition.
struct LoneTransfer {
  // A wait lasts at most this long, and requests that come meanwhile wait no longer than that.
  static constexpr std::uint32_t kWaitMilliseconds = 1;
  static constexpr int kPacketsPerPoll = 32;  // the poller is looked at again after so many

  // Whether the loop's only transfer is to wait on its socket for its client's next packet.
  bool Waits(std::uint32_t running) {
    if (running != 1) return false;
    if (skipped == 0) return true;
    --skipped;
    return false;
  }
  // Each wait in vain doubles the packets that go through the poller before the next one, up
  // to 63, so that a slow client costs a short wait only now and then.
  void Answered(bool inTime) {
    missed = inTime ? 0 : std::min<std::uint32_t>(missed + 1, 6);
    if (!inTime) skipped = (1u << missed) - 1;
  }
  std::uint32_t aside = kNone;  // the slot whose socket the poller leaves aside
  std::uint32_t skipped = 0;    // packets before the transfer waits on its socket again
  std::uint32_t missed = 0;     // such waits in a row that timed out
};

struct TimerList {
  std::uint32_t head = kNone;
  std::uint32_t tail = kNone;
};

struct Loop;

// The sessions' start and what their clients send in single-port mode (loop_sessions).
void StartSession(Loop& loop, RequestRecord* record);
void StartGranted(Loop& loop);
void RetryPortWaiters(Loop& loop);
void ServeOwn(Loop& loop, std::uint64_t key, std::span<const std::uint8_t> datagram,
              const platform::SocketAddress& from);
void ServeMailbox(Loop& loop);

// One loop; its thread alone touches everything here but `poller`'s Wake. Its intake hands it
// requests to start, and in single-port mode datagrams of its own transfers.
struct Loop final : IntakeEngine {
  Loop(ServerState& server, const std::atomic<bool>& quit) : server(server), quit(quit) {}
  void StartRequest(RequestRecord* record) override { StartSession(*this, record); }
  void ServeOwn(std::uint64_t key, std::span<const std::uint8_t> datagram,
                const platform::SocketAddress& from) override {
    loops::ServeOwn(*this, key, datagram, from);
  }

  ServerState& server;
  const std::atomic<bool>& quit;
  platform::EventPoller poller;
  // A grant of a turn, a freed port or a parcel wakes the loop's poller.
  PollerWaker waker{poller};
  GateWaiter gates{waker};
  // Slots whose sessions wait for a port, oldest first, and when they are next tried although
  // no port of this process freed (one that another program held may have).
  std::vector<std::uint32_t> portWaiters;
  TimePoint nextPortTry{};
  platform::JoinableThread thread;
  std::vector<std::unique_ptr<std::array<Slot, kChunkSlots>>> chunks;
  std::vector<std::uint32_t> freeSlots;
  std::array<TimerList, kTimeoutLists> lists{};
  std::array<std::uint64_t, kTimeoutLists / 64> listsInUse{};  // a bit per list that holds any
  std::uint32_t running = 0;
  std::uint32_t mostRunning = 0;  // since the pool was last handed back
  LoneTransfer lone;
  bool portsWatched = false;
  // The port sockets the poller watches, as the address table stood at `portsGeneration`.
  platform::PortSocketSet::ReadSet watchedPorts;
  std::uint32_t portsGeneration = 0;
  // The first loop's, with FollowAddresses: it opens and closes the port sockets.
  AddressFollower* follower = nullptr;
  // Room for the largest packet any transfer may be granted, and to build packets in.
  std::vector<std::uint8_t> received;
  PacketScratch scratch;
  // Single-port mode: what other loops read for this one's transfers.
  Mailbox mailbox{waker, true};
  Intake intake{server, *this, &mailbox, Intake::HeapFull::kLookAgain};
  std::uint32_t nextGeneration = 0;
  bool heapWasFull = false;
  // At the bound on transfers: when the loop next looks whether requests wait for room.
  TimePoint nextRoomLook{};
};

inline bool SinglePort(const Loop& loop) {
  return loop.server.config.SinglePort != 0;
}

// Where a slot's packets go: its own socket, or in single-port mode the port socket that
// received its request.
class SlotSink final : public PacketSink {
 public:
  SlotSink(Loop& loop, Slot& slot)
      : PacketSink(loop.scratch),
        singlePort_(SinglePort(loop)),
        socket_(slot.socket, loop.scratch),
        port_(loop.server.local.sockets, slot.session->localIndex, slot.budget, loop.scratch) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) override {
    return singlePort_ ? port_.Send(packet, to) : socket_.Send(packet, to);
  }

 private:
  bool singlePort_;
  SocketSink socket_;
  PortSink port_;
};

// The slots and their deadlines (loop_slots).
Slot& SlotAt(Loop& loop, std::uint32_t index);
std::uint32_t AcquireSlot(Loop& loop);
std::uint64_t KeyOf(const Slot& slot, std::uint32_t index);
std::uint32_t SlotOfKey(Loop& loop, std::uint64_t key);
void Release(Loop& loop, std::uint32_t index);
void ShrinkIfIdle(Loop& loop);
void Settle(Loop& loop, std::uint32_t index, TimePoint deadlineBefore);
std::uint32_t ExpireDeadlines(Loop& loop);

}  // namespace quoril::loops
