#include "tftp/engines/thread_engine.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "config/event_reporter.h"
#include "tftp/engines/socket_sink.h"
#include "tftp/session/transfer_session.h"

namespace quoril {

namespace {

// The transfer's own thread waits at every gate (its turn, a port, its mailbox) through one
// waker: a grant, a freed port, a parcel or the stop's cancel wakes it.
struct ThreadWaits {
  explicit ThreadWaits(ServerState& server) : waker(server.cancel) {}
  ThreadWaker waker;
  GateWaiter gates{waker};
};

// Waits until the client's address has a turn for the session; answers false when the
// session ended meanwhile (its retries used up, or the shutdown).
bool AwaitTurn(TransferSession& session, ThreadWaits& waits, PacketSink& sink) {
  while (!SessionEnded(session)) {
    switch (session.server->turns.Await(session.turn, waits.waker, session.deadline)) {
      case TurnWait::kGranted:
        return true;
      case TurnWait::kCancelled:
        OnReceiveFailed(session, ERROR_OPERATION_ABORTED);
        break;
      case TurnWait::kDeadline:
        OnDeadline(session, sink, SessionClock::now());
        break;
    }
  }
  return false;
}

// Opens the transfer's socket, waiting while every port of the range is held; answers false
// when the session ended instead (no socket, its deadline, or the shutdown).
bool OpenTransferSocket(TransferSession& session, ThreadWaits& waits, platform::UdpSocket& socket,
                        PacketSink& sink, std::uint16_t& port) {
  TransferPorts& ports = session.server->ports;
  for (;;) {
    switch (ports.Open(socket, session.localAddress, session.localIndex, waits.gates, port)) {
      case PortOpen::kOpened:
        return true;
      case PortOpen::kFailed:
        SocketNotOpened(session);
        return false;
      case PortOpen::kBusy:
        break;
    }
    auto now = SessionClock::now();
    if (session.state != SessionState::kWaitingForPort) AwaitPort(session, now);
    // Ports that other programs hold free without a word: they are tried again now and then.
    const auto until = std::min(session.deadline, now + kPortRetry);
    const PortWait wait = ports.Await(waits.gates, waits.waker, until);
    now = SessionClock::now();
    if (wait == PortWait::kCancelled) {
      OnReceiveFailed(session, ERROR_OPERATION_ABORTED);
    } else if (wait == PortWait::kTimedOut && now >= session.deadline) {
      OnDeadline(session, sink, now);
    }
    if (SessionEnded(session)) return false;
  }
}

// A wait ended without a packet: at the session's deadline, or at a look whether requests
// wait for the slot that a long-silent client keeps (NextSilenceCheck).
void AtDeadline(TransferSession& session, bool forCheck, PacketSink& sink) {
  if (!forCheck) {
    OnDeadline(session, sink, SessionClock::now());
  } else if (session.server->limit.RequestsWaiting()) {
    OnRequestsWaiting(session, SessionClock::now());
  }
}

void Drive(TransferSession& session, platform::UdpSocket& socket, PacketSink& sink,
           PacketScratch& scratch) {
  // Room for the largest packet of the transfer: 516 bytes on the stack, or a negotiated
  // block size's, allocated once. Not cleared: only what a receive wrote is read.
  PacketBuffer small;
  std::vector<std::uint8_t> large;
  std::span<std::uint8_t> received(small);
  if (LargestDatagram(session) > small.size()) {
    large.resize(LargestDatagram(session));
    received = large;
  }
  while (!SessionEnded(session)) {
    // A thread that waits holds no packet: a burst of silent clients costs their sessions.
    scratch.Release();
    const auto now = SessionClock::now();
    const auto check = NextSilenceCheck(session, now);
    const bool forCheck = check < session.deadline;
    const auto until = forCheck ? check : session.deadline;
    const auto left = until > now ? std::chrono::ceil<std::chrono::milliseconds>(until - now)
                                  : std::chrono::milliseconds(0);
    platform::SocketAddress sender = session.clientAddress;
    std::size_t length = 0;
    platform::WaitResult result = platform::WaitResult::kTimeout;
    const Win32Error error = socket.ReceiveWithin(static_cast<std::uint32_t>(left.count()),
                                                  received, length, sender, result);
    if (error == WSAEMSGSIZE) continue;  // larger than any packet of the transfer: dropped
    if (error != ERROR_SUCCESS) {
      OnReceiveFailed(session, error);
    } else if (result == platform::WaitResult::kCancelled) {
      OnReceiveFailed(session, ERROR_OPERATION_ABORTED);
    } else if (result == platform::WaitResult::kTimeout) {
      AtDeadline(session, forCheck, sink);
    } else {
      OnDatagram(session, received.first(length), sender, sink, SessionClock::now());
    }
  }
}

// What the listener hands the thread, which owns it from then on; the rest serves single-port
// mode.
struct ThreadTransfer {
  explicit ThreadTransfer(ServerState& server) : server(server), waits(server) {}
  ServerState& server;
  ThreadWaits waits;
  RequestRecord* record = nullptr;
  std::uint32_t localIndex = 0;
  platform::SocketAddress client{};
  bool claimed = false;
  // Only where endpoints are claimed: an empty mailbox still costs allocations, at every transfer.
  std::optional<Mailbox> mailbox;
  ReplyBudget budget;
};

void DriveFromMailbox(TransferSession& session, ThreadTransfer& transfer, PacketSink& sink,
                      PacketScratch& scratch) {
  Parcel parcel;
  while (!SessionEnded(session)) {
    scratch.Release();  // as Drive does
    const auto check = NextSilenceCheck(session, SessionClock::now());
    const bool forCheck = check < session.deadline;
    switch (transfer.server.endpoints.Wait(*transfer.mailbox, transfer.waits.waker, parcel,
                                           forCheck ? check : session.deadline)) {
      case MailboxWait::kCancelled:
        OnReceiveFailed(session, ERROR_OPERATION_ABORTED);
        break;
      case MailboxWait::kDeadline:
        AtDeadline(session, forCheck, sink);
        break;
      case MailboxWait::kParcel:
        if (parcel.kind == Parcel::Kind::kSuperseded) {
          OnSuperseded(session);
        } else {
          transfer.budget.Earn(parcel.bytes.size(), parcel.from);
          OnDatagram(session, parcel.bytes, parcel.from, sink, SessionClock::now());
        }
        break;
    }
  }
}

void TransferThread(void* argument) {
  const std::unique_ptr<ThreadTransfer> transfer(static_cast<ThreadTransfer*>(argument));
  ServerState& server = transfer->server;
  const bool singlePort = server.config.SinglePort != 0;
  TransferSession session;
  platform::UdpSocket socket;
  PacketScratch scratch;
  SocketSink socketSink(socket, scratch);
  PortSink portSink(server.local.sockets, transfer->localIndex, transfer->budget, scratch);
  PacketSink& sink = singlePort ? static_cast<PacketSink&>(portSink) : socketSink;
  std::uint16_t port = 0;
  BeginSession(session, server, transfer->record);
  if (transfer->claimed) session.endpoint = {&*transfer->mailbox, 0};
  transfer->budget.Earn(session.requestLength, session.clientAddress);
  if (!SessionEnded(session) && (TakeTurn(session, transfer->waits.gates, 0, SessionClock::now()) ||
                                 AwaitTurn(session, transfer->waits, sink))) {
    // As a transfer socket would be opened only now: nothing of its client's is read before.
    if (singlePort) server.endpoints.Open(*transfer->mailbox);
    if (singlePort || OpenTransferSocket(session, transfer->waits, socket, sink, port)) {
      StartTransfer(session, sink, SessionClock::now());
    }
  }
  if (singlePort) {
    DriveFromMailbox(session, *transfer, sink, scratch);
  } else {
    Drive(session, socket, sink, scratch);
  }
  FinishSession(session);
  socket.Close();
  server.ports.Release(session.localIndex, port);
  server.limit.Ended();
}

}  // namespace

void StartTransferThread(ServerState& server, RequestRecord* record) {
  auto transfer = std::make_unique<ThreadTransfer>(server);
  transfer->record = record;
  transfer->localIndex = record->localIndex;
  transfer->client = record->clientAddress;
  // The mailbox names the transfer in the endpoint table, and in single-port mode takes its
  // datagrams.
  if (ClaimsEndpoints(server.config)) transfer->mailbox.emplace(transfer->waits.waker, false);
  // Claimed before the thread runs, so that its client's first answer finds it and a copy of
  // its request is known for one.
  const std::span<const std::uint8_t> request = std::span(record->datagram).first(record->length);
  // What the thread does not take over is given back here.
  const auto drop = [&server, record] {
    server.requestHeap.Free(record);
    server.limit.Ended();
  };
  if (ClaimsEndpoints(server.config) && IsTransferRequest(request)) {
    std::uint64_t previous = 0;
    if (server.endpoints.Claim(transfer->localIndex, transfer->client, request,
                               {&*transfer->mailbox, 0},
                               previous) == EndpointTable::Claimed::kRepeatedRequest) {
      drop();  // a late copy of a running transfer's own request
      return;
    }
    transfer->claimed = true;
  }
  if (platform::StartDetachedThread(TransferThread, transfer.get()) != ERROR_SUCCESS) {
    if (transfer->claimed) {
      server.endpoints.Leave(transfer->localIndex, transfer->client, {&*transfer->mailbox, 0});
    }
    // Only this request is lost; the service goes on.
    EventReporter(EVENT_THREAD_CREATE);
    drop();
    return;
  }
  transfer.release();  // the thread owns it now
}

}  // namespace quoril
