#include <algorithm>

#include "tftp/engines/loop.h"

namespace quoril::loops {

namespace {

// The session has its turn: its socket, its first packet, its place in the poller. While
// every port of the range is held it waits for one in the loop's portWaiters.
void OpenAndStart(Loop& loop, std::uint32_t index) {
  Slot& slot = SlotAt(loop, index);
  TransferSession& session = *slot.session;
  SlotSink sink(loop, slot);
  if (SinglePort(loop)) {
    StartTransfer(session, sink, SessionClock::now());
    return;
  }
  switch (loop.server.ports.Open(slot.socket, session.localAddress, session.localIndex, loop.gates,
                                 slot.port)) {
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

// A request takes its endpoint (in single-port mode from whatever transfer had it before),
// which `claim` then names (it stays empty for a datagram that claims none); answers false for
// a copy of a running transfer's own request, which is dropped.
bool ClaimEndpoint(Loop& loop, std::uint32_t index, const RequestRecord& record,
                   EndpointTable::Owner& claim) {
  const std::span<const std::uint8_t> request = std::span(record.datagram).first(record.length);
  if (!IsTransferRequest(request)) return true;
  const EndpointTable::Owner owner{&loop.mailbox, KeyOf(SlotAt(loop, index), index)};
  std::uint64_t previous = 0;
  switch (loop.server.endpoints.Claim(record.localIndex, record.clientAddress, request, owner,
                                      previous)) {
    case EndpointTable::Claimed::kRepeatedRequest:
      return false;
    case EndpointTable::Claimed::kSupersedesOwn:
      Supersede(loop, previous);
      break;
    case EndpointTable::Claimed::kClaimed:
      break;
  }
  claim = owner;
  return true;
}

}  // namespace

// For a request that the intake counted in under the bound.
void StartSession(Loop& loop, RequestRecord* record) {
  const std::uint32_t index = AcquireSlot(loop);
  Slot& slot = SlotAt(loop, index);
  slot.generation = loop.nextGeneration++;
  EndpointTable::Owner claim;
  if (ClaimsEndpoints(loop.server.config) && !ClaimEndpoint(loop, index, *record, claim)) {
    loop.freeSlots.push_back(index);
    loop.server.requestHeap.Free(record);
    loop.server.limit.Ended();
    return;
  }
  TransferSession& session = slot.session.emplace();
  loop.mostRunning = std::max(loop.mostRunning, ++loop.running);
  BeginSession(session, loop.server, record);
  session.endpoint = claim;
  slot.budget = ReplyBudget{};
  slot.budget.Earn(session.requestLength, session.clientAddress);
  if (!SessionEnded(session) && TakeTurn(session, loop.gates, index, SessionClock::now())) {
    OpenAndStart(loop, index);
  }
  // A session that waits for its turn waits until its deadline like any other.
  Settle(loop, index, TimePoint{});
}

// Sessions whose turn came while they waited.
void StartGranted(Loop& loop) {
  while (TurnTicket* ticket = loop.server.turns.NextGranted(loop.gates)) {
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

// A datagram of the client of the session that `key` names.
void ServeOwn(Loop& loop, std::uint64_t key, std::span<const std::uint8_t> datagram,
              const platform::SocketAddress& from) {
  const std::uint32_t index = SlotOfKey(loop, key);
  if (index == kNone) return;
  Slot& slot = SlotAt(loop, index);
  // Without the mode, its socket would not be open yet: nothing of its client's is read.
  if (slot.session->state == SessionState::kWaitingForTurn) return;
  const TimePoint before = slot.session->deadline;
  slot.budget.Earn(datagram.size(), from);
  SlotSink sink(loop, slot);
  OnDatagram(*slot.session, datagram, from, sink, SessionClock::now());
  Settle(loop, index, before);
}

// What other loops read from port 69 for this loop's transfers.
void ServeMailbox(Loop& loop) {
  Parcel parcel;
  while (loop.server.endpoints.Take(loop.mailbox, parcel)) {
    if (parcel.kind == Parcel::Kind::kSuperseded) {
      Supersede(loop, parcel.key);
    } else {
      ServeOwn(loop, parcel.key, parcel.bytes, parcel.from);
    }
  }
}

}  // namespace quoril::loops
