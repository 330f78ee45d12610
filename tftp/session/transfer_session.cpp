#include "tftp/session/transfer_session.h"

#include <algorithm>

#include "config/event_reporter.h"
#include "observe/transfer_end.h"
#include "platform/strings.h"
#include "resources/string_ids.h"
#include "tftp/session/retransmit_backoff.h"
#include "tftp/session/session_parts.h"
#include "tftp/state/server_state.h"

namespace quoril {

namespace session {

namespace {

void LoadDescription(TransferSession& session, std::uint32_t id) {
  platform::LoadString(id, session.entry.description);
}

// How often the packet out now has been sent again.
std::uint32_t Retransmissions(const TransferSession& session) {
  const std::uint32_t most = Config(session).MaxRetransmit;
  return most - std::min(session.retriesLeft, most);
}

}  // namespace

const ServerConfig& Config(const TransferSession& session) {
  return session.server->config;
}

void Fail(TransferSession& session) {
  session.state = SessionState::kFailed;
  session.file.Close();
}

void Succeed(TransferSession& session) {
  session.state = SessionState::kSucceeded;
  session.entry.failed = false;
  LoadDescription(session, IDS_TRANSFER_SUCCESSFUL);
}

// What served the transfer, as its record names it.
const char* EngineName(const ServerConfig& config) {
  if (config.EventLoops != 0) return "event_loops";
  return config.SinglePort != 0 ? "single_port_threads" : "threads";
}

// The transfer's line, record and counts.
void LogEnd(TransferSession& session) {
  WriteTransferLine(session.entry);
  Metrics& metrics = session.server->metrics;
  ObserveTransferEnd(metrics, EngineName(Config(session)), session.entry, session.facts,
                     session.clientAddress, SessionClock::now() - session.arrived);
  NoteRequestWait(metrics, session.facts, RequestWait::kNone);
  session.logged = true;
}

// Without DallyAfterWrite a client that repeats its last DATA is not waited for. With it the
// write has succeeded and is logged now, but keeps its socket one timeout, so that a client
// whose copy of the final ACK was lost gets it again rather than silence and a failure of its
// own for a file that is stored (RFC 1350's dally). Not in single-port mode, where the client's
// next request from its endpoint would be taken for a repeat.
void EndWrite(TransferSession& session, TimePoint now) {
  Succeed(session);
  const ServerConfig& config = Config(session);
  if (config.DallyAfterWrite == 0 || config.SinglePort != 0) return;
  session.file.Close();
  LogEnd(session);
  session.state = SessionState::kDallying;
  ++session.server->dallying;
  session.wait = session.timeout;
  session.deadline = now + session.timeout;
}

// Dallying, a packet of the client's: a repeat of the last DATA gets the final ACK again, once
// for each; anything else goes unanswered, and an ERROR ends the wait.
void DallyDatagram(TransferSession& session, std::span<const std::uint8_t> datagram, bool isError,
                   PacketSink& sink) {
  if (isError) {
    session.state = SessionState::kSucceeded;
  } else if (datagram.size() >= kHeaderSize && ReadField16(datagram, 0) == kOpcodeData &&
             ReadField16(datagram, 2) == session.block) {
    // A failed send is left to the client's next repeat.
    sink.Send(std::span(session.send.data(), session.sendLength), session.clientAddress);
  }
}

void FailWithDescription(TransferSession& session, std::uint32_t id) {
  LoadDescription(session, id);
  Fail(session);
}

void FailWithError(TransferSession& session, PacketSink& sink, Win32Error failure) {
  PacketBuffer error{};
  const std::uint16_t length = ErrorMapping(failure, error, session.entry.description);
  sink.Send(std::span(error.data(), length), session.clientAddress);
  Fail(session);
}

void AwaitAnswer(TransferSession& session, TimePoint now) {
  session.wait = RetransmitWait(Config(session), session.timeout, Retransmissions(session));
  session.deadline = now + session.wait;
}

void SendCurrent(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (!sink.Send(std::span(session.send.data(), session.sendLength), session.clientAddress)) {
    Fail(session);
    return;
  }
  AwaitAnswer(session, now);
}

}  // namespace session

namespace {

using namespace session;

// The log line's operation and addresses.
void NameTheParties(TransferSession& session) {
  session.opcode = ReadField16(session.request, 0);
  session.entry.opcode = session.opcode;
  session.entry.opcodeSet = true;
  FormatAddressText(session.clientAddress, session.entry.clientText);
  FormatAddressText(session.localAddress, session.entry.localText);
}

// A request that ends or waits before its transfer begins: its line tells whose it was.
void NameTheRequest(TransferSession& session) {
  NameTheParties(session);
  session.entry.binary = ParseRequest(session.request).binary;
}

// A request is held (for its turn, for a port) as long as a client waits for an answer before
// it asks again: one Timeout from its arrival on port 69, however long it waited there.
void Hold(TransferSession& session, SessionState state, RequestWait wait, TimePoint now) {
  session.state = state;
  NoteRequestWait(session.server->metrics, session.facts, wait);
  session.deadline = std::min(now + session.timeout, session.arrived + session.timeout);
  ++session.waits;
}

// The server's own bound on a client's silence: how long a transfer at the server's Timeout
// waits for its client before it gives up.
SessionClock::duration SilenceBound(const ServerConfig& config) {
  return std::chrono::seconds(config.Timeout) * (std::int64_t{config.MaxRetransmit} + 1);
}

// A client's timeout option lets the session wait for its client longer than that bound.
bool MayOutliveSilenceBound(const TransferSession& session) {
  const bool awaitsClient = session.state == SessionState::kAwaitOptionAck ||
                            session.state == SessionState::kAwaitAck ||
                            session.state == SessionState::kAwaitData;
  return awaitsClient && session.timeout > std::chrono::seconds(Config(session).Timeout);
}

// The OACK is out and not yet answered by the first ACK (read) or DATA (write).
bool AwaitingOptionAnswer(const TransferSession& session) {
  return session.state == SessionState::kAwaitOptionAck ||
         (session.optionsSent && session.state == SessionState::kAwaitData && session.block == 0);
}

}  // namespace

std::span<std::uint8_t> PacketScratch::Room(std::size_t size) {
  if (size_ < size) {
    bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    size_ = size;
  }
  return std::span(bytes_.get(), size);
}

void PacketScratch::Release() {
  bytes_.reset();
  size_ = 0;
}

void BeginSession(TransferSession& session, ServerState& server, RequestRecord* record) {
  session.server = &server;
  session.request = record->datagram;
  session.requestLength = std::min<std::uint16_t>(record->length, kMaxPacket);
  session.clientAddress = record->clientAddress;
  session.localIndex = record->localIndex;
  session.localAddress = record->localAddress;
  session.arrived = WaitingSince(server, record->arrived);
  CountRequestTaken(server.metrics, session.localIndex);
  if (!server.requestHeap.Free(record)) {
    EventReporter(EVENT_MEMORY_FREE);
    Fail(session);
    return;
  }
  session.retriesLeft = Config(session).MaxRetransmit;
  session.timeout = std::chrono::seconds(Config(session).Timeout);
  session.wait = session.timeout;
  FormatTime(session.entry.time);
  FormatDate(session.entry.date);
}

void SocketNotOpened(TransferSession& session) {
  EventReporter(EVENT_SOCKET_ALLOCATE);
  Fail(session);
}

bool TakeTurn(TransferSession& session, GateWaiter& waiter, std::uintptr_t key, TimePoint now) {
  // What goes to an address of this host never leaves it: nobody else is flooded.
  const LocalAddressTable& local = session.server->local;
  for (std::uint32_t k = 0; k < local.count; ++k) {
    if (platform::SameHost(local.addresses[k], session.clientAddress)) return true;
  }
  switch (session.server->turns.Take(session.turn, session.clientAddress, waiter, key)) {
    case TurnTaken::kHeld:
      return true;
    case TurnTaken::kWaiting:
      Hold(session, SessionState::kWaitingForTurn, RequestWait::kTurn, now);
      return false;
    case TurnTaken::kRepeated:
      break;
  }
  // Its line tells who asked again; the earlier request answers.
  NameTheRequest(session);
  Fail(session);
  return false;
}

void AwaitPort(TransferSession& session, TimePoint now) {
  NameTheRequest(session);  // should the shutdown end the wait
  Hold(session, SessionState::kWaitingForPort, RequestWait::kPort, now);
}

void StartTransfer(TransferSession& session, PacketSink& sink, TimePoint now) {
  session.state = SessionState::kTakingOver;
  NoteRequestWait(session.server->metrics, session.facts, RequestWait::kNone);
  NameTheParties(session);
  if (!CheckRequestAndOpen(session, sink)) return;
  if (session.optionsSent) {
    session.state =
        session.opcode == kOpcodeRrq ? SessionState::kAwaitOptionAck : SessionState::kAwaitData;
    SendCurrent(session, sink, now);
  } else if (session.opcode == kOpcodeRrq) {
    FillWindow(session, sink, now);
  } else {
    Acknowledge(session, sink, now);
  }
  session.lastHeard = now;
  // Each wait stood for one Timeout of the first packet: a request lives no longer for them.
  session.retriesLeft -= std::min<std::uint32_t>(session.retriesLeft, session.waits);
}

std::size_t LargestDatagram(const TransferSession& session) {
  // A read's client sends ACKs and ERRORs only; a write's, DATA of the granted size.
  if (session.opcode != kOpcodeWrq) return kMaxPacket;
  return std::max<std::size_t>(kMaxPacket, kHeaderSize + session.blockSize);
}

void OnDatagram(TransferSession& session, std::span<const std::uint8_t> datagram,
                const platform::SocketAddress& sender, PacketSink& sink, TimePoint now) {
  if (SessionEnded(session) || datagram.size() > LargestDatagram(session)) return;
  const bool isError = datagram.size() >= 2 && ReadField16(datagram, 0) == kOpcodeError;
  if (sender != session.clientAddress) {
    // Strangers are told that they are one and do not touch the transfer, nor its deadline,
    // so that nobody but the client can keep it alive. An ERROR is never answered: two
    // transfers would answer each other's for ever.
    if (isError) return;
    PacketBuffer error{};
    const std::uint16_t length =
        ErrorMapping(TRANSFER_ERROR_UNKNOWN_TID, error, session.entry.description);
    if (!sink.Send(std::span(error.data(), length), sender)) Fail(session);
    return;
  }
  if (session.state == SessionState::kDallying) {
    DallyDatagram(session, datagram, isError, sink);
    return;
  }
  if (isError) {
    // The client gave up; an ERROR is not answered. An ERROR in answer to the OACK declines
    // the options (UEFI's size probe does so by design and then asks again without tsize).
    if (AwaitingOptionAnswer(session)) LoadDescription(session, IDS_OPTIONS_DECLINED);
    Fail(session);
    return;
  }
  session.lastHeard = now;
  if (!session.heard) {
    // The client is real: its transfer no longer counts against its address, and a copy of
    // its request on port 69 is a late one.
    session.heard = true;
    session.server->turns.Leave(session.turn);
    if (session.endpoint.mailbox != nullptr && Config(session).SinglePort != 0) {
      session.server->endpoints.Heard(session.localIndex, session.clientAddress, session.endpoint);
    }
  }
  // Too short to carry a block number: not a packet of this transfer's, ignored.
  if (datagram.size() < kHeaderSize) return;
  switch (session.state) {
    case SessionState::kAwaitOptionAck:
      OptionAckArrived(session, datagram, sink, now);
      break;
    case SessionState::kAwaitAck:
      AckArrived(session, datagram, sink, now);
      break;
    case SessionState::kAwaitData:
      DataArrived(session, datagram, sink, now);
      break;
    default:
      break;
  }
}

void OnDeadline(TransferSession& session, PacketSink& sink, TimePoint now) {
  if (SessionEnded(session)) return;
  if (session.state == SessionState::kDallying) {
    session.state = SessionState::kSucceeded;
    return;
  }
  // A request waits for its turn, or for a port, as long as a client waits for an answer
  // before it asks again; a real client's next request then waits anew.
  if (session.state == SessionState::kWaitingForTurn ||
      session.state == SessionState::kWaitingForPort) {
    NameTheRequest(session);
    FailWithDescription(session, IDS_TIMEOUT);
    return;
  }
  ++session.facts.timeouts;
  if (session.retriesLeft == 0 ||
      RetransmitWait(Config(session), session.timeout, Retransmissions(session) + 1) ==
          SessionClock::duration{}) {
    FailWithDescription(session, IDS_TIMEOUT);
    return;
  }
  --session.retriesLeft;
  if (session.state == SessionState::kAwaitAck) {
    ResendWindow(session, sink, now);  // from the first block not acknowledged
    return;
  }
  ++session.facts.retransmissions;
  if (session.state == SessionState::kAwaitData && session.unacknowledged > 0) {
    Acknowledge(session, sink, now);  // what has come of the window, so that the rest follows
  } else {
    SendCurrent(session, sink, now);  // the OACK or the last ACK
  }
}

TimePoint NextSilenceCheck(const TransferSession& session, TimePoint now) {
  if (!MayOutliveSilenceBound(session)) return TimePoint::max();
  const TimePoint limit = session.lastHeard + SilenceBound(Config(session));
  return limit > now ? limit : now + std::chrono::seconds(Config(session).Timeout);
}

void OnRequestsWaiting(TransferSession& session, TimePoint now) {
  if (!MayOutliveSilenceBound(session) || now - session.lastHeard <= SilenceBound(Config(session)))
    return;
  FailWithDescription(session, IDS_TIMEOUT);
}

void OnReceiveFailed(TransferSession& session, Win32Error error) {
  if (SessionEnded(session)) return;
  if (error != ERROR_OPERATION_ABORTED && error != WSAENOTSOCK) EventReporter(EVENT_SOCKET_READ);
  Fail(session);
}

void OnSuperseded(TransferSession& session) {
  if (SessionEnded(session)) return;
  FailWithDescription(session, IDS_SUPERSEDED);
}

void FinishSession(TransferSession& session) {
  if (session.logged) {
    --session.server->dallying;
  } else {
    LogEnd(session);
  }
  session.file.Close();
  session.server->turns.Leave(session.turn);
  if (session.endpoint.mailbox != nullptr) {
    session.server->endpoints.Leave(session.localIndex, session.clientAddress, session.endpoint);
  }
}

}  // namespace quoril
