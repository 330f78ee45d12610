#include "tftp/event_loop.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "config/event_reporter.h"
#include "config/server_config.h"
#include "platform/event_poller.h"
#include "platform/threads.h"
#include "tftp/listener.h"
#include "tftp/single_port.h"
#include "tftp/socket_sink.h"
#include "tftp/transfer_limit.h"
#include "tftp/transfer_ports.h"
#include "tftp/transfer_session.h"

namespace quoril {

namespace {

using TimePoint = SessionClock::time_point;

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// Poller keys: a port socket's index with this bit, else a transfer's slot.
constexpr std::uintptr_t kPortKey = std::uintptr_t{1} << (sizeof(std::uintptr_t) * 8 - 1);
// Slots come in chunks, so that a burst costs a few allocations and a steady load none.
constexpr std::uint32_t kChunkSlots = 16;
// A pool that held at least this many transfers at once is handed back to the system once its
// last transfer has ended, so that a burst's sessions do not stay resident after it.
constexpr std::uint32_t kReleaseAfterBurst = 32;
// Requests taken from one ready port socket before the loop looks at its transfers again.
constexpr int kRequestsPerWake = 8;
// In single-port mode, datagrams taken from one ready port socket in one round.
constexpr int kDatagramsPerWake = 32;
// How soon a loop looks again at requests it holds when the request heap was full.
constexpr std::uint32_t kHeapRetryMilliseconds = 10;
constexpr std::size_t kEventsPerWait = 256;
// A loop with one transfer waits for that client's next packet on the transfer's socket
// itself, as a transfer thread does, for at most this long: one call per packet instead of a
// wait in the poller and a receive. Requests that come meanwhile wait no longer than that.
// Each such wait in vain doubles the packets that go through the poller before the next one,
// up to the most, so that a slow client costs a short wait only now and then.
constexpr std::uint32_t kLoneWaitMilliseconds = 1;
constexpr int kPacketsPerPoll = 32;  // the poller is looked at again after so many
constexpr std::uint32_t kMostWaitsSkipped = 63;
// Deadlines are kept in one list per wait, in seconds: a deadline is always set to now plus
// the session's wait, so appending keeps each list in order.
constexpr std::size_t kTimeoutLists = 256;

struct Slot {
  std::optional<TransferSession> session;
  platform::UdpSocket socket;
  // Single-port mode: the session's name in the endpoint table, unique within the loop, and
  // whether it holds its endpoint there.
  std::uint32_t generation = 0;
  bool claimed = false;
  ReplyBudget budget;
  std::uint32_t previous = kNone;  // neighbours in the deadline list
  std::uint32_t next = kNone;
  std::uint8_t list = 0;
  bool filed = false;
  std::uint16_t port = 0;     // of the transfer port range, 0 for none
  bool waitsForPort = false;  // listed in the loop's portWaiters
};

struct TimerList {
  std::uint32_t head = kNone;
  std::uint32_t tail = kNone;
};

// A loop's sessions wait for their turns (TurnWaiter) and for ports (PortWaiter) through it;
// a grant or a freed port wakes the loop.
template <class Waiter>
class LoopWaiter final : public Waiter {
 public:
  explicit LoopWaiter(platform::EventPoller& poller) : poller_(poller) {}
  void Notify() override { poller_.Wake(); }

 private:
  platform::EventPoller& poller_;
};

// One loop; its thread alone touches everything here but `poller`'s Wake.
struct Loop {
  platform::EventPoller poller;
  LoopWaiter<TurnWaiter> turns{poller};
  LoopWaiter<PortWaiter> ports{poller};
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
  std::uint32_t mostRunning = 0;   // since the pool was last handed back
  std::uint32_t waitsSkipped = 0;  // packets before a lone transfer waits on its socket again
  std::uint32_t waitsMissed = 0;   // such waits in a row that timed out
  std::uint32_t aside = kNone;     // the lone transfer whose socket the poller leaves aside
  bool portsWatched = false;
  // Room for the largest packet any transfer may be granted, and to build packets in.
  std::vector<std::uint8_t> received;
  PacketScratch scratch;
  // Single-port mode: what other loops read for this one's transfers, and the requests read
  // while none may start.
  Mailbox mailbox{&poller, true};
  DeferredRequests deferred;
  std::uint32_t nextGeneration = 0;
  bool heapWasFull = false;
  // At the bound on transfers: when the loop next looks whether requests wait for room.
  TimePoint nextRoomLook{};
};

bool SinglePort() {
  return gServerConfig.SinglePort != 0;
}

// Where a slot's packets go: its own socket, or in single-port mode the port socket that
// received its request.
class SlotSink final : public PacketSink {
 public:
  SlotSink(Slot& slot, PacketScratch& scratch)
      : PacketSink(scratch),
        socket_(slot.socket, scratch),
        port_(slot.session->localIndex, slot.budget, scratch) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) override {
    return SinglePort() ? port_.Send(packet, to) : socket_.Send(packet, to);
  }

 private:
  SocketSink socket_;
  PortSink port_;
};

struct Engine {
  std::vector<std::unique_ptr<Loop>> loops;
  std::atomic<bool> quit{false};
};

// Written by the listener's thread before the loops start and after they have ended.
Engine gEngine;

Slot& SlotAt(Loop& loop, std::uint32_t index) {
  return (*loop.chunks[index / kChunkSlots])[index % kChunkSlots];
}

std::uint32_t AcquireSlot(Loop& loop) {
  if (loop.freeSlots.empty()) {
    const auto first = static_cast<std::uint32_t>(loop.chunks.size() * kChunkSlots);
    loop.chunks.push_back(std::make_unique<std::array<Slot, kChunkSlots>>());
    loop.freeSlots.reserve(loop.chunks.size() * kChunkSlots);
    for (std::uint32_t k = kChunkSlots; k-- > 0;) loop.freeSlots.push_back(first + k);
  }
  const std::uint32_t index = loop.freeSlots.back();
  loop.freeSlots.pop_back();
  return index;
}

void Unfile(Loop& loop, std::uint32_t index) {
  Slot& slot = SlotAt(loop, index);
  if (!slot.filed) return;
  TimerList& list = loop.lists[slot.list];
  (slot.previous == kNone ? list.head : SlotAt(loop, slot.previous).next) = slot.next;
  (slot.next == kNone ? list.tail : SlotAt(loop, slot.next).previous) = slot.previous;
  if (list.head == kNone) loop.listsInUse[slot.list / 64] &= ~(1ULL << (slot.list % 64));
  slot.previous = slot.next = kNone;
  slot.filed = false;
}

void FileAtTail(Loop& loop, std::uint32_t index) {
  Unfile(loop, index);
  Slot& slot = SlotAt(loop, index);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(slot.session->wait);
  slot.list = static_cast<std::uint8_t>(
      std::min<std::int64_t>(std::max<std::int64_t>(seconds.count(), 0), kTimeoutLists - 1));
  TimerList& list = loop.lists[slot.list];
  slot.previous = list.tail;
  (list.tail == kNone ? list.head : SlotAt(loop, list.tail).next) = index;
  list.tail = index;
  loop.listsInUse[slot.list / 64] |= 1ULL << (slot.list % 64);
  slot.filed = true;
}

std::uint64_t KeyOf(const Slot& slot, std::uint32_t index) {
  return std::uint64_t{slot.generation} << 32 | index;
}

// The slot that a key of the endpoint table names, kNone when its session has gone.
std::uint32_t SlotOfKey(Loop& loop, std::uint64_t key) {
  const auto index = static_cast<std::uint32_t>(key);
  if (index >= loop.chunks.size() * kChunkSlots) return kNone;
  const Slot& slot = SlotAt(loop, index);
  return slot.session && KeyOf(slot, index) == key ? index : kNone;
}

void Release(Loop& loop, std::uint32_t index) {
  Slot& slot = SlotAt(loop, index);
  Unfile(loop, index);
  if (slot.claimed) {
    gEndpoints.Leave(slot.session->localIndex, slot.session->clientAddress,
                     {&loop.mailbox, KeyOf(slot, index)});
    slot.claimed = false;
  }
  FinishSession(*slot.session);
  if (loop.aside == index) loop.aside = kNone;
  if (slot.socket.IsOpen()) loop.poller.CloseWatched(slot.socket);
  gTransferPorts.Release(slot.session->localIndex, slot.port);
  slot.port = 0;
  if (slot.waitsForPort) {
    std::erase(loop.portWaiters, index);
    slot.waitsForPort = false;
  }
  slot.session.reset();
  loop.freeSlots.push_back(index);
  --loop.running;
  TransferEnded();
}

// Between rounds, when no event names a slot: after a burst the empty pool goes, and the
// next transfer starts a new one.
void ShrinkIfIdle(Loop& loop) {
  if (loop.running != 0 || loop.mostRunning < kReleaseAfterBurst) return;
  loop.mostRunning = 0;
  loop.chunks.clear();
  loop.chunks.shrink_to_fit();
  loop.freeSlots.clear();
  loop.freeSlots.shrink_to_fit();
  platform::ReleaseFreeHeapMemory();
}

// After a call into the session: an ended one lets its slot go, a new deadline moves it to
// the end of its list.
void Settle(Loop& loop, std::uint32_t index, TimePoint deadlineBefore) {
  Slot& slot = SlotAt(loop, index);
  if (SessionEnded(*slot.session)) {
    Release(loop, index);
  } else if (!slot.filed || slot.session->deadline != deadlineBefore) {
    FileAtTail(loop, index);
  }
}

// The session has its turn: its socket, its first packet, its place in the poller. While
// every port of the range is held it waits for one in the loop's portWaiters.
void OpenAndStart(Loop& loop, std::uint32_t index) {
  Slot& slot = SlotAt(loop, index);
  TransferSession& session = *slot.session;
  SlotSink sink(slot, loop.scratch);
  if (SinglePort()) {
    StartTransfer(session, sink, SessionClock::now());
    return;
  }
  switch (gTransferPorts.Open(slot.socket, session.localIndex, loop.ports, slot.port)) {
    case PortOpen::kOpened:
      break;
    case PortOpen::kFailed:
      SocketNotOpened(session);
      return;
    case PortOpen::kBusy:
      if (session.state != SessionState::kWaitingForPort) AwaitPort(session, SessionClock::now());
      if (!slot.waitsForPort) {
        if (loop.portWaiters.empty()) loop.nextPortTry = SessionClock::now() + kPortRetry;
        loop.portWaiters.push_back(index);
        slot.waitsForPort = true;
      }
      return;
  }
  StartTransfer(session, sink, SessionClock::now());
  if (!SessionEnded(session)) {
    const Win32Error error = loop.poller.Add(slot.socket, index);
    if (error != ERROR_SUCCESS) OnReceiveFailed(session, error);
  }
}

// Single-port mode: the client asked again from the same endpoint; the session of `key` ends.
void Supersede(Loop& loop, std::uint64_t key) {
  const std::uint32_t index = SlotOfKey(loop, key);
  if (index == kNone) return;
  const TimePoint before = SlotAt(loop, index).session->deadline;
  OnSuperseded(*SlotAt(loop, index).session);
  Settle(loop, index, before);
}

// Single-port mode: a request takes its endpoint from whatever transfer had it before; answers
// false for a late copy of a running transfer's own request, which is dropped.
bool ClaimEndpoint(Loop& loop, std::uint32_t index, const RequestRecord& record) {
  const std::span<const std::uint8_t> request = std::span(record.datagram).first(record.length);
  if (!IsTransferRequest(request)) return true;
  Slot& slot = SlotAt(loop, index);
  std::uint64_t previous = 0;
  switch (gEndpoints.Claim(record.localIndex, record.clientAddress, request,
                           {&loop.mailbox, KeyOf(slot, index)}, previous)) {
    case EndpointTable::Claimed::kRepeatedRequest:
      return false;
    case EndpointTable::Claimed::kSupersedesOwn:
      slot.claimed = true;
      Supersede(loop, previous);
      return true;
    case EndpointTable::Claimed::kClaimed:
      break;
  }
  slot.claimed = true;
  return true;
}

// For a request that AdmitTransfer counted in.
void StartSession(Loop& loop, RequestRecord* record) {
  const std::uint32_t index = AcquireSlot(loop);
  Slot& slot = SlotAt(loop, index);
  slot.generation = loop.nextGeneration++;
  if (SinglePort() && !ClaimEndpoint(loop, index, *record)) {
    loop.freeSlots.push_back(index);
    gRequestHeap.Free(record);
    TransferEnded();
    return;
  }
  TransferSession& session = slot.session.emplace();
  loop.mostRunning = std::max(loop.mostRunning, ++loop.running);
  BeginSession(session, record);
  slot.budget = ReplyBudget{};
  slot.budget.Earn(session.requestLength, session.clientAddress);
  if (!SessionEnded(session) && TakeTurn(session, loop.turns, index, SessionClock::now())) {
    OpenAndStart(loop, index);
  }
  // A session that waits for its turn waits until its deadline like any other.
  Settle(loop, index, TimePoint{});
}

// Sessions whose turn came while they waited.
void StartGranted(Loop& loop) {
  while (TurnTicket* ticket = gClientTurns.NextGranted(loop.turns)) {
    const auto index = static_cast<std::uint32_t>(ticket->key);
    const TimePoint before = SlotAt(loop, index).session->deadline;
    OpenAndStart(loop, index);
    Settle(loop, index, before);
  }
}

// Sessions that wait for a port try again, oldest first; those that find none wait on.
void RetryPortWaiters(Loop& loop) {
  std::vector<std::uint32_t> waiting;
  waiting.swap(loop.portWaiters);
  loop.nextPortTry = SessionClock::now() + kPortRetry;
  for (const std::uint32_t index : waiting) {
    Slot& slot = SlotAt(loop, index);
    slot.waitsForPort = false;
    if (!slot.session || slot.session->state != SessionState::kWaitingForPort) continue;
    const TimePoint before = slot.session->deadline;
    OpenAndStart(loop, index);
    Settle(loop, index, before);
  }
}

// Watches the port sockets only while requests may be taken (below).
void FollowControls(Loop& loop);

// Takes the requests queued on port socket `port`, each into a record of the request heap
// as the listener of the thread engine does, so that both bound what is in hand alike.
void TakeRequests(Loop& loop, std::uint32_t port) {
  for (int taken = 0; taken < kRequestsPerWake; ++taken) {
    // At the bound the port sockets are let go until a transfer ends; the requests wait in
    // their queues meanwhile, and transfers whose clients went silent make room for them.
    if (!AdmitTransfer()) {
      if (gLocalAddressTable.sockets.AnyQueued()) NoteRequestsWaiting();
      FollowControls(loop);
      return;
    }
    // Another loop holds the heap's records only for a moment; what is not taken now stays
    // queued and wakes a loop again.
    auto* record = static_cast<RequestRecord*>(gRequestHeap.Allocate());
    if (record == nullptr) {
      TransferEnded();
      return;
    }
    std::size_t received = 0;
    bool gotOne = false;
    Win32Error error = ERROR_SUCCESS;
    do {
      error = gLocalAddressTable.sockets.TryReceive(
          port, record->datagram, received, record->clientAddress, gotOne, &record->arrived);
      // Requests that waited too long go unanswered, however many: their clients have asked
      // again or given up.
    } while (gotOne && error == ERROR_SUCCESS && received != 0 && RequestExpired(record->arrived));
    if (!gotOne || error != ERROR_SUCCESS || received == 0) {
      gRequestHeap.Free(record);
      TransferEnded();
      // Nothing a request could be (too large, or empty): dropped, and the service goes on.
      if (gotOne && (error == WSAEMSGSIZE || (error == ERROR_SUCCESS && received == 0))) {
        continue;
      }
      if (error != ERROR_SUCCESS) EventReporter(EVENT_SOCKET_READ);
      return;
    }
    // The session reads names up to a terminator; stale bytes of an earlier request must
    // not stand in for the ones this datagram lacks.
    std::memset(record->datagram.data() + received, 0, record->datagram.size() - received);
    record->localIndex = static_cast<std::uint16_t>(port);
    record->length = static_cast<std::uint16_t>(received);
    StartSession(loop, record);
  }
}

// Single-port mode from here on.

// A datagram of the client of the session that `key` names.
void ServeOwn(Loop& loop, std::uint64_t key, std::span<const std::uint8_t> datagram,
              const platform::SocketAddress& from) {
  const std::uint32_t index = SlotOfKey(loop, key);
  if (index == kNone) return;
  Slot& slot = SlotAt(loop, index);
  // Without the mode, its socket would not be open yet: nothing of its client's is read.
  if (slot.session->state == SessionState::kWaitingForTurn) return;
  const TimePoint before = slot.session->deadline;
  const bool heard = slot.session->heard;
  slot.budget.Earn(datagram.size(), from);
  SlotSink sink(slot, loop.scratch);
  OnDatagram(*slot.session, datagram, from, sink, SessionClock::now());
  if (slot.session->heard && !heard && slot.claimed) {
    gEndpoints.Heard(slot.session->localIndex, slot.session->clientAddress,
                     {&loop.mailbox, KeyOf(slot, index)});
  }
  Settle(loop, index, before);
}

// What other loops read from port 69 for this loop's transfers.
void ServeMailbox(Loop& loop) {
  Parcel parcel;
  while (gEndpoints.Take(loop.mailbox, parcel)) {
    if (parcel.kind == Parcel::Kind::kSuperseded) {
      Supersede(loop, parcel.key);
    } else {
      ServeOwn(loop, parcel.key, parcel.bytes, parcel.from);
    }
  }
}

// Starts the requests this loop holds, oldest first, while requests may start. The port
// sockets are read all the while for the running transfers: a pause or the bound on transfers
// holds requests here instead of in port 69's queue.
void ServeDeferred(Loop& loop) {
  loop.heapWasFull = false;
  while (!loop.deferred.Empty()) {
    const auto controls = gLocalAddressTable.sockets.Controls();
    if (controls.stopRequested) {
      loop.deferred.Clear();
      return;
    }
    if (controls.held) return;
    if (!AdmitTransfer()) {
      if (RequestRoomWake()) continue;
      NoteRequestsWaiting();
      return;
    }
    auto* record = static_cast<RequestRecord*>(gRequestHeap.Allocate());
    if (record == nullptr) {
      // Other loops hold the heap's records for a moment only.
      TransferEnded();
      loop.heapWasFull = true;
      return;
    }
    loop.deferred.TakeOldest(*record);
    if (RequestExpired(record->arrived)) {
      gRequestHeap.Free(record);
      TransferEnded();
      continue;
    }
    StartSession(loop, record);
  }
}

void TakeDatagrams(Loop& loop, std::uint32_t port) {
  bool requests = false;
  for (int taken = 0; taken < kDatagramsPerWake; ++taken) {
    platform::SocketAddress from{};
    std::size_t length = 0;
    bool gotOne = false;
    const Win32Error error =
        gLocalAddressTable.sockets.TryReceive(port, loop.received, length, from, gotOne);
    // An answer of ours that met a closed port comes back as a failed receive; so it goes on.
    if (error == WSAECONNRESET || error == WSAEMSGSIZE) continue;
    if (error != ERROR_SUCCESS) EventReporter(EVENT_SOCKET_READ);
    if (error != ERROR_SUCCESS || !gotOne) break;
    const std::span<const std::uint8_t> datagram = std::span(loop.received).first(length);
    std::uint64_t key = 0;
    switch (Classify(port, from, datagram, &loop.mailbox, key)) {
      case Arrival::kOwn:
        ServeOwn(loop, key, datagram, from);
        break;
      case Arrival::kRequest:
        if (gLocalAddressTable.sockets.Controls().stopRequested) break;
        loop.deferred.Add(port, from, datagram);
        requests = true;
        break;
      case Arrival::kRouted:
      case Arrival::kDropped:
        break;
    }
  }
  if (requests) ServeDeferred(loop);
}

// Whether the loop's only transfer is to wait for its client's next packet on its socket.
bool WaitOnSocket(Loop& loop) {
  if (loop.running != 1) return false;
  if (loop.waitsSkipped == 0) return true;
  --loop.waitsSkipped;
  return false;
}

// The lone transfer's socket goes back to the poller: another transfer has started, or its
// client was slow to answer.
void TakeBackAside(Loop& loop) {
  const std::uint32_t index = loop.aside;
  if (index == kNone) return;
  loop.aside = kNone;
  Slot& slot = SlotAt(loop, index);
  const TimePoint before = slot.session->deadline;
  if (const Win32Error error = loop.poller.TakeBack(slot.socket, index); error != ERROR_SUCCESS) {
    OnReceiveFailed(*slot.session, error);
    Settle(loop, index, before);
  }
}

// Serves the datagram of a ready transfer socket, and while the transfer is the loop's only
// one its next packets as they come, up to kPacketsPerPoll before the loop looks at its
// poller again; `waiting` continues such a run. Meanwhile the poller leaves the socket aside.
void ServeDatagram(Loop& loop, std::uint32_t index, bool waiting) {
  Slot& slot = SlotAt(loop, index);
  for (int served = 0; served < kPacketsPerPoll; ++served) {
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
      if (loop.aside != index) {
        loop.poller.SetAside(slot.socket);
        loop.aside = index;
      }
      platform::WaitResult result = platform::WaitResult::kTimeout;
      error =
          slot.socket.ReceiveWithin(kLoneWaitMilliseconds, loop.received, length, sender, result);
      if (error == ERROR_SUCCESS && result != platform::WaitResult::kReady) {
        loop.waitsMissed = std::min<std::uint32_t>(loop.waitsMissed + 1, 6);
        loop.waitsSkipped = std::min((1u << loop.waitsMissed) - 1, kMostWaitsSkipped);
        TakeBackAside(loop);
        return;
      }
      loop.waitsMissed = 0;
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
    if (!WaitOnSocket(loop)) {
      TakeBackAside(loop);
      return;
    }
  }
}

// The first list from `from` on that holds a slot; kTimeoutLists when none does.
std::size_t NextListInUse(const Loop& loop, std::size_t from) {
  for (std::size_t word = from / 64; word < loop.listsInUse.size(); ++word) {
    const std::uint64_t bits =
        loop.listsInUse[word] & (~0ULL << (word == from / 64 ? from % 64 : 0));
    if (bits != 0) return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
  }
  return kTimeoutLists;
}

// Every deadline that has passed; answers how long the loop may wait for the next one.
std::uint32_t ExpireDeadlines(Loop& loop) {
  const TimePoint now = SessionClock::now();
  std::uint32_t wait = platform::EventPoller::kWaitForever;
  for (std::size_t list = NextListInUse(loop, 0); list < kTimeoutLists;
       list = NextListInUse(loop, list + 1)) {
    for (;;) {
      const std::uint32_t index = loop.lists[list].head;
      if (index == kNone) break;
      Slot& slot = SlotAt(loop, index);
      if (slot.session->deadline > now) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(slot.session->deadline - now).count();
        wait = std::min<std::uint32_t>(wait, static_cast<std::uint32_t>(left));
        break;
      }
      const TimePoint before = slot.session->deadline;
      SlotSink sink(slot, loop.scratch);
      OnDeadline(*slot.session, sink, now);
      Settle(loop, index, before);
      // A transfer that sent again is now at the end of its list; the next head follows.
    }
  }
  return wait;
}

// At the bound, once per server Timeout: whether requests wait (in single-port mode the loops
// see them as they hold them), and while they do, the transfers whose clients have been
// silent past the server's own bound end and make room. Answers how long the loop may wait
// before it looks again.
std::uint32_t MakeRoomForWaitingRequests(Loop& loop) {
  if (!TransferBoundReached()) return platform::EventPoller::kWaitForever;
  const TimePoint now = SessionClock::now();
  if (now < loop.nextRoomLook) {
    return static_cast<std::uint32_t>(
        std::chrono::ceil<std::chrono::milliseconds>(loop.nextRoomLook - now).count());
  }
  const auto every = std::chrono::seconds(gServerConfig.Timeout);
  loop.nextRoomLook = now + every;
  if (!SinglePort() && !loop.portsWatched && gLocalAddressTable.sockets.AnyQueued()) {
    NoteRequestsWaiting();
  }
  if (RequestsWaiting()) {
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

void WatchPorts(Loop& loop, bool watch) {
  if (watch == loop.portsWatched) return;
  const std::uint32_t count = gLocalAddressTable.count;
  for (std::uint32_t k = 0; k < count; ++k) {
    if (watch) {
      loop.poller.AddPort(gLocalAddressTable.sockets, k, kPortKey | k);
    } else {
      loop.poller.RemovePort(gLocalAddressTable.sockets, k);
    }
  }
  loop.portsWatched = watch;
}

// A pause or a stop stops taking requests; running transfers go on until the shutdown. So
// does the bound on transfers, until the end of one wakes the loop.
void FollowControls(Loop& loop) {
  if (SinglePort()) {
    // Until the loop ends, for the transfers that run on them.
    WatchPorts(loop, true);
    ServeDeferred(loop);
    return;
  }
  const auto controls = gLocalAddressTable.sockets.Controls();
  WatchPorts(loop, !controls.held && !controls.stopRequested && RequestRoomWake());
}

void EndEveryTransfer(Loop& loop) {
  for (std::uint32_t index = 0; index < loop.chunks.size() * kChunkSlots; ++index) {
    Slot& slot = SlotAt(loop, index);
    if (!slot.session) continue;
    OnReceiveFailed(*slot.session, ERROR_OPERATION_ABORTED);
    Release(loop, index);
  }
  loop.deferred.Clear();
}

void RunLoop(void* argument) {
  Loop& loop = *static_cast<Loop*>(argument);
  std::array<std::uintptr_t, kEventsPerWait> ready{};
  FollowControls(loop);
  for (;;) {
    std::uint32_t wait = ExpireDeadlines(loop);
    if (!loop.portWaiters.empty()) {
      const auto untilTry =
          std::chrono::ceil<std::chrono::milliseconds>(loop.nextPortTry - SessionClock::now());
      wait = std::min<std::uint32_t>(
          wait, static_cast<std::uint32_t>(std::max<std::int64_t>(untilTry.count(), 0)));
    }
    if (loop.heapWasFull) wait = std::min(wait, kHeapRetryMilliseconds);
    wait = std::min(wait, MakeRoomForWaitingRequests(loop));
    if (loop.aside != kNone) wait = 0;  // only a look: the lone transfer waits on its socket
    ShrinkIfIdle(loop);
    std::size_t count = 0;
    bool woken = false;
    if (loop.poller.Wait(wait, ready, count, woken) != ERROR_SUCCESS) {
      // As the listener of the thread engine: a wait that fails ends what this loop serves.
      EventReporter(EVENT_SOCKET_BLOCK);
      break;
    }
    if (woken) {
      if (gEngine.quit.load()) break;
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
    for (std::size_t k = 0; k < count && loop.portsWatched; ++k) {
      if ((ready[k] & kPortKey) == 0) continue;
      const auto port = static_cast<std::uint32_t>(ready[k] & ~kPortKey);
      if (SinglePort()) {
        TakeDatagrams(loop, port);
      } else {
        TakeRequests(loop, port);
      }
    }
    if (loop.aside != kNone) {
      if (loop.running == 1) {
        ServeDatagram(loop, loop.aside, true);
      } else {
        TakeBackAside(loop);
      }
    }
  }
  WatchPorts(loop, false);
  EndEveryTransfer(loop);
  gTransferPorts.Withdraw(loop.ports);
}

void WakeEveryLoop() {
  for (auto& loop : gEngine.loops) loop->poller.Wake();
}

}  // namespace

bool StartEventLoops(std::uint32_t count) {
  gEngine.quit.store(false);
  gEngine.loops.clear();
  for (std::uint32_t k = 0; k < count; ++k) {
    auto loop = std::make_unique<Loop>();
    loop->received.resize(
        gServerConfig.NegotiateOptions != 0
            ? std::max<std::size_t>(kMaxPacket, kHeaderSize + gServerConfig.MaxBlockSize)
            : kMaxPacket);
    if (loop->poller.Create() != ERROR_SUCCESS ||
        gLocalAddressTable.sockets.AddObserver(loop->poller) != ERROR_SUCCESS) {
      StopEventLoops();
      return false;
    }
    gEngine.loops.push_back(std::move(loop));
  }
  SetRoomWake(WakeEveryLoop);
  for (auto& loop : gEngine.loops) {
    if (loop->thread.Start(RunLoop, loop.get()) != ERROR_SUCCESS) {
      StopEventLoops();
      return false;
    }
  }
  return true;
}

void StopEventLoops() {
  gEngine.quit.store(true);
  for (auto& loop : gEngine.loops) loop->poller.Wake();
  for (auto& loop : gEngine.loops) {
    if (loop->thread.IsStarted()) loop->thread.Join();
    gLocalAddressTable.sockets.RemoveObserver(loop->poller);
  }
  SetRoomWake(nullptr);
}

}  // namespace quoril
