// The thread-per-transfer engine: one thread waits on its transfer's socket (in single-port
// mode, on its mailbox) until the session's deadline and feeds the session what arrives.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <vector>

#include "tftp/listener.h"
#include "tftp/single_port.h"
#include "tftp/socket_sink.h"
#include "tftp/transfer_limit.h"
#include "tftp/transfer_ports.h"
#include "tftp/transfer_session.h"

namespace quoril {

namespace {

// The transfer's own thread waits for its turn (TurnWaiter) or a port (PortWaiter) on it; a
// grant, a freed port or the shutdown signals it.
template <class Waiter>
class ThreadWaiter final : public Waiter {
 public:
  void Notify() override { wake.notify_one(); }
  std::condition_variable wake;
};
using ThreadTurnWaiter = ThreadWaiter<TurnWaiter>;

// Waits until the client's address has a turn for the session; answers false when the
// session ended meanwhile (its retries used up, or the shutdown).
bool AwaitTurn(TransferSession& session, ThreadTurnWaiter& waiter, PacketSink& sink) {
  while (!SessionEnded(session)) {
    switch (gClientTurns.Await(session.turn, waiter.wake, session.deadline)) {
      case TurnWait::kGranted:
        return true;
      case TurnWait::kCancelled:
        OnReceiveFailed(session, ERROR_SUCCESS);
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
bool OpenTransferSocket(TransferSession& session, platform::UdpSocket& socket, PacketSink& sink,
                        std::uint16_t& port) {
  ThreadWaiter<PortWaiter> waiter;
  for (;;) {
    switch (gTransferPorts.Open(socket, session.localIndex, waiter, port)) {
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
    const PortWait wait = gTransferPorts.Await(waiter, waiter.wake, until);
    now = SessionClock::now();
    if (wait == PortWait::kCancelled) {
      OnReceiveFailed(session, ERROR_SUCCESS);
    } else if (wait == PortWait::kTimedOut && now >= session.deadline) {
      OnDeadline(session, sink, now);
    }
    if (SessionEnded(session)) return false;
  }
}

void Drive(TransferSession& session, platform::UdpSocket& socket, PacketSink& sink,
           PacketScratch& scratch) {
  // Room for the largest packet of the transfer: 516 bytes on the stack, or a negotiated
  // block size's, allocated once.
  PacketBuffer small{};
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
    const auto left = session.deadline > now
                          ? std::chrono::ceil<std::chrono::milliseconds>(session.deadline - now)
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
      OnReceiveFailed(session, ERROR_SUCCESS);
    } else if (result == platform::WaitResult::kTimeout) {
      OnDeadline(session, sink, SessionClock::now());
    } else {
      OnDatagram(session, received.first(length), sender, sink, SessionClock::now());
    }
  }
}

// Single-port mode: what the listener hands the thread, which owns it from then on.
struct PortTransfer {
  RequestRecord* record = nullptr;
  std::uint32_t localIndex = 0;
  platform::SocketAddress client{};
  bool claimed = false;
  Mailbox mailbox{nullptr, false};
};

void DriveFromMailbox(TransferSession& session, Mailbox& mailbox, PacketSink& sink,
                      PacketScratch& scratch) {
  Parcel parcel;
  while (!SessionEnded(session)) {
    scratch.Release();  // as Drive does
    switch (gEndpoints.Wait(mailbox, parcel, session.deadline)) {
      case MailboxWait::kCancelled:
        OnReceiveFailed(session, ERROR_SUCCESS);
        break;
      case MailboxWait::kDeadline:
        OnDeadline(session, sink, SessionClock::now());
        break;
      case MailboxWait::kParcel:
        if (parcel.kind == Parcel::Kind::kSuperseded) {
          OnSuperseded(session);
        } else {
          OnDatagram(session, parcel.bytes, parcel.from, sink, SessionClock::now());
        }
        break;
    }
  }
}

void PortTransferThread(void* argument) {
  const std::unique_ptr<PortTransfer> transfer(static_cast<PortTransfer*>(argument));
  TransferSession session;
  PacketScratch scratch;
  PortSink sink(transfer->localIndex, scratch);
  ThreadTurnWaiter waiter;
  BeginSession(session, transfer->record);
  if (!SessionEnded(session) &&
      (TakeTurn(session, waiter, 0, SessionClock::now()) || AwaitTurn(session, waiter, sink))) {
    // As a transfer socket would be opened only now: nothing of its client's is read before.
    gEndpoints.Open(transfer->mailbox);
    StartTransfer(session, sink, SessionClock::now());
  }
  DriveFromMailbox(session, transfer->mailbox, sink, scratch);
  FinishSession(session);
  if (transfer->claimed) {
    gEndpoints.Leave(transfer->localIndex, transfer->client, {&transfer->mailbox, 0});
  }
  TransferEnded();
}

}  // namespace

bool StartPortTransferThread(RequestRecord* record) {
  auto transfer = std::make_unique<PortTransfer>();
  transfer->record = record;
  transfer->localIndex = record->localIndex;
  transfer->client = record->clientAddress;
  // Claimed before the thread runs, so that its client's first answer finds it.
  if (IsTransferRequest(std::span(record->datagram).first(record->length))) {
    std::uint64_t previous = 0;
    gEndpoints.Claim(transfer->localIndex, transfer->client, {&transfer->mailbox, 0}, previous);
    transfer->claimed = true;
  }
  if (platform::StartDetachedThread(PortTransferThread, transfer.get()) != ERROR_SUCCESS) {
    if (transfer->claimed) {
      gEndpoints.Leave(transfer->localIndex, transfer->client, {&transfer->mailbox, 0});
    }
    return false;
  }
  transfer.release();  // the thread owns it now
  return true;
}

void TransferSessionThread(void* record) {
  TransferSession session;
  platform::UdpSocket socket;
  PacketScratch scratch;
  SocketSink sink(socket, scratch);
  ThreadTurnWaiter waiter;
  std::uint16_t port = 0;
  BeginSession(session, static_cast<RequestRecord*>(record));
  if (!SessionEnded(session) &&
      (TakeTurn(session, waiter, 0, SessionClock::now()) || AwaitTurn(session, waiter, sink)) &&
      OpenTransferSocket(session, socket, sink, port)) {
    StartTransfer(session, sink, SessionClock::now());
  }
  Drive(session, socket, sink, scratch);
  FinishSession(session);
  socket.Close();
  gTransferPorts.Release(session.localIndex, port);
  TransferEnded();
}

}  // namespace quoril
