#include "tftp/intake/intake.h"

#include <algorithm>
#include <cstring>

#include "config/event_reporter.h"
#include "tftp/protocol/packets.h"

namespace quoril {

namespace {

// Single-port mode: what a datagram read on port 69 is.
enum class Arrival : std::uint8_t {
  kRouted,   // posted to the owner of its transfer
  kOwn,      // for a transfer of the reader's own mailbox, named by `key`
  kRequest,  // a request, or a datagram of nobody's: served as a request, as without the mode
  kDropped,  // an ERROR of nobody's (never answered), a late copy of a request
             // (EndpointTable::IsLateCopy), or larger than any request
};

Arrival Classify(EndpointTable& endpoints, std::uint32_t localIndex,
                 const platform::SocketAddress& from, std::span<const std::uint8_t> datagram,
                 const Mailbox* self, std::uint64_t& key) {
  if (datagram.empty()) return Arrival::kDropped;
  if (IsTransferRequest(datagram)) {
    if (endpoints.IsLateCopy(localIndex, from, datagram)) return Arrival::kDropped;
  } else {
    switch (endpoints.Route(localIndex, from, datagram, self, key)) {
      case EndpointTable::Routed::kPosted:
        return Arrival::kRouted;
      case EndpointTable::Routed::kOwn:
        return Arrival::kOwn;
      case EndpointTable::Routed::kNobody:
        break;
    }
    // Two servers would answer each other's ERRORs for ever.
    if (datagram.size() >= 2 && ReadField16(datagram, 0) == kOpcodeError) return Arrival::kDropped;
  }
  return datagram.size() > kMaxPacket ? Arrival::kDropped : Arrival::kRequest;
}

// Puts a datagram from port 69 into a record (where the read did not put it already),
// clearing the bytes after it, so that stale bytes of an earlier request never stand in for
// the ones this datagram lacks.
void FillRecord(RequestRecord& record, std::uint32_t localIndex,
                const platform::SocketAddress& local, const platform::SocketAddress& from,
                std::span<const std::uint8_t> datagram,
                platform::ArrivalClock::time_point arrived) {
  const std::size_t length = std::min(datagram.size(), record.datagram.size());
  if (datagram.data() != record.datagram.data()) {
    std::memcpy(record.datagram.data(), datagram.data(), length);
  }
  std::memset(record.datagram.data() + length, 0, record.datagram.size() - length);
  record.clientAddress = from;
  record.localAddress = local;
  record.localIndex = static_cast<std::uint16_t>(localIndex);
  record.length = static_cast<std::uint16_t>(length);
  record.arrived = arrived;
}

}  // namespace

std::size_t LargestPacket(const ServerConfig& config) {
  return config.NegotiateOptions != 0
             ? std::max<std::size_t>(kMaxPacket, kHeaderSize + config.MaxBlockSize)
             : kMaxPacket;
}

bool WatchPortSockets(platform::EventPoller& poller, const LocalAddressTable& table,
                      platform::PortSocketSet::ReadSet& watched, bool watch,
                      std::uintptr_t keyBits) {
  for (std::uint32_t k = 0; k < platform::PortSocketSet::kCapacity; ++k) {
    if (watched.test(k)) poller.RemovePort(table.sockets, k);
  }
  watched.reset();
  bool all = true;
  for (std::uint32_t k = 0; watch && k < table.count; ++k) {
    if (!table.sockets.IsOpen(k)) continue;
    const bool added = poller.AddPort(table.sockets, k, keyBits | k) == ERROR_SUCCESS;
    watched.set(k, added);
    all = all && added;
  }
  return all;
}

void DeferredRequests::Add(std::uint32_t localIndex, const platform::SocketAddress& local,
                           const platform::SocketAddress& from,
                           std::span<const std::uint8_t> datagram) {
  const auto now = platform::ArrivalClock::now();
  const auto same = std::ranges::find_if(requests_, [&](const RequestRecord& record) {
    return record.localIndex == localIndex && record.clientAddress == from;
  });
  if (same != requests_.end()) {
    FillRecord(*same, localIndex, local, from, datagram, now);
    return;
  }
  if (requests_.size() >= kMost) return;
  FillRecord(requests_.emplace_back(), localIndex, local, from, datagram, now);
  Count(1);
}

void DeferredRequests::TakeOldest(RequestRecord& record) {
  record = requests_.front();
  requests_.pop_front();
  Count(-1);
}

Intake::Intake(ServerState& server, IntakeEngine& engine, const Mailbox* own, HeapFull heapFull)
    : server_(server),
      engine_(engine),
      own_(own),
      heapFull_(heapFull),
      deferred_(&server.metrics.requestsHeld) {
  buffer_.resize(LargestPacket(server.config));
}

// Null when the heap is full (kLookAgain) or destroyed.
RequestRecord* Intake::AllocateRecord() {
  platform::PrivateHeap& heap = server_.requestHeap;
  for (;;) {
    if (void* block = heap.Allocate()) return static_cast<RequestRecord*>(block);
    // Every transfer frees its record as it begins: a request is never dropped for room.
    if (heapFull_ == HeapFull::kLookAgain || !heap.Exists()) return nullptr;
    heap.WaitForRoom();
  }
}

Intake::Taken Intake::TakeRequests(std::uint32_t port, int most) {
  TransferLimit& limit = server_.limit;
  for (int taken = 0; taken < most; ++taken) {
    if (!limit.Admit()) return Taken::kAtBound;
    RequestRecord* record = AllocateRecord();
    if (record == nullptr) {
      limit.Ended();
      return server_.requestHeap.Exists() ? Taken::kHeapFull : Taken::kHeapGone;
    }
    platform::SocketAddress from{};
    platform::ArrivalClock::time_point arrived{};
    std::size_t received = 0;
    bool gotOne = false;
    Win32Error error = ERROR_SUCCESS;
    do {
      error = server_.local.sockets.TryReceive(port, record->datagram, received, from, gotOne,
                                               &arrived);
      // Requests that waited too long go unanswered, however many: their clients have asked
      // again or given up.
    } while (gotOne && error == ERROR_SUCCESS && received != 0 && RequestExpired(server_, arrived));
    if (!gotOne || error != ERROR_SUCCESS || received == 0) {
      server_.requestHeap.Free(record);
      limit.Ended();
      // Nothing a request could be (too large, or empty): dropped, and the service goes on.
      if (gotOne && (error == WSAEMSGSIZE || error == ERROR_SUCCESS)) continue;
      if (error == WSAENOTSOCK) return Taken::kClosed;
      return error == ERROR_SUCCESS ? Taken::kDrained : Taken::kFailed;
    }
    FillRecord(*record, port, server_.local.addresses[port], from,
               std::span(record->datagram).first(received), arrived);
    engine_.StartRequest(record);
  }
  return Taken::kDrained;
}

bool Intake::TakeDatagrams(std::uint32_t port, int most) {
  bool requests = false;
  for (int taken = 0; taken < most; ++taken) {
    platform::SocketAddress from{};
    std::size_t length = 0;
    bool gotOne = false;
    const Win32Error error = server_.local.sockets.TryReceive(port, buffer_, length, from, gotOne);
    // An answer of ours that met a closed port comes back as a failed receive; so it goes on.
    if (error == WSAECONNRESET || error == WSAEMSGSIZE) continue;
    // A port socket whose address went meanwhile fails quietly.
    if (error != ERROR_SUCCESS && server_.local.sockets.IsOpen(port)) {
      EventReporter(EVENT_SOCKET_READ);
    }
    if (error != ERROR_SUCCESS || !gotOne) break;
    const std::span<const std::uint8_t> datagram = std::span(buffer_).first(length);
    std::uint64_t key = 0;
    switch (Classify(server_.endpoints, port, from, datagram, own_, key)) {
      case Arrival::kOwn:
        engine_.ServeOwn(key, datagram, from);
        break;
      case Arrival::kRequest:
        if (server_.controls.Now().stopRequested) break;
        deferred_.Add(port, server_.local.addresses[port], from, datagram);
        requests = true;
        break;
      case Arrival::kRouted:
      case Arrival::kDropped:
        break;
    }
  }
  return requests;
}

Intake::Taken Intake::StartDeferred() {
  TransferLimit& limit = server_.limit;
  while (!deferred_.Empty()) {
    const auto controls = server_.controls.Now();
    if (controls.stopRequested) {
      deferred_.Clear();
      break;
    }
    if (controls.held) break;
    if (!limit.Admit()) {
      if (limit.RequestRoomWake()) continue;
      limit.NoteRequestsWaiting();
      return Taken::kAtBound;
    }
    RequestRecord* record = AllocateRecord();
    if (record == nullptr) {
      limit.Ended();
      return server_.requestHeap.Exists() ? Taken::kHeapFull : Taken::kHeapGone;
    }
    deferred_.TakeOldest(*record);
    if (RequestExpired(server_, record->arrived)) {
      server_.requestHeap.Free(record);
      limit.Ended();
      continue;
    }
    engine_.StartRequest(record);
  }
  return Taken::kDrained;
}

}  // namespace quoril
