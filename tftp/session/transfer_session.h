// One transfer as a record driven from outside: it starts from its request and from then on
// reacts to "a datagram arrived" and "its deadline passed". An engine (a thread per
// transfer, or an event loop serving many) owns the socket and the clock; the record owns
// the protocol and never learns which engine drives it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "config/transfer_log.h"
#include "observe/transfer_facts.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "tftp/admission/client_turns.h"
#include "tftp/admission/single_port.h"
#include "tftp/protocol/netascii.h"
#include "tftp/protocol/packets.h"

namespace quoril {

struct RequestRecord;
struct ServerState;

using SessionClock = std::chrono::steady_clock;

// Room to build packets in, owned by an engine (one per event loop, one per transfer thread)
// and lent to every call into a session: between two calls a transfer holds no packet but
// its last OACK or ACK, or its one DATA of 512 bytes at most when it has no window.
class PacketScratch {
 public:
  // `size` bytes, valid until the call into the session returns.
  std::span<std::uint8_t> Room(std::size_t size);
  // Gives the memory back: a transfer thread keeps none while it waits.
  void Release();

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

// Where a session's packets go: the transfer's socket in service, a recorder in tests; and
// the engine's room to build them in.
class PacketSink {
 public:
  explicit PacketSink(PacketScratch& scratch) : scratch_(scratch) {}
  // One datagram to `to`; false when it could not be sent.
  virtual bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) = 0;
  std::span<std::uint8_t> Room(std::size_t size) { return scratch_.Room(size); }

 protected:
  ~PacketSink() = default;

 private:
  PacketScratch& scratch_;
};

// Where a transfer stands. kSendBlock and kAcknowledged of the protocol's tables pass
// within one call, so a record rests only in a waiting state or an ending.
enum class SessionState : std::uint8_t {
  kTakingOver,      // the request is copied; nothing has been sent
  kWaitingForTurn,  // its client's address has all its turns out (ClientTurns)
  kWaitingForPort,  // every port of the transfer port range is held (TransferPorts)
  kAwaitOptionAck,  // read: the OACK is out; ACK 0 starts the data
  kAwaitAck,        // read: a window of DATA blocks is out
  kAwaitData,       // write: an ACK (or the OACK, which stands for ACK 0) is out
  kDallying,        // write: stored and logged; its final ACK goes again to a repeated last DATA
  kSucceeded,
  kFailed,
};

// Everything one transfer knows. Written only by the thread that drives it.
struct TransferSession {
  ServerState* server = nullptr;  // whose settings and gates it follows
  SessionState state = SessionState::kTakingOver;
  PacketBuffer request{};
  std::uint16_t requestLength = 0;  // bytes of the datagram in `request`
  platform::SocketAddress clientAddress{};
  platform::SocketAddress localAddress{};  // that received the request; port 0
  std::uint32_t localIndex = 0;            // of the address in the local address table
  platform::File file;
  std::uint16_t opcode = 0;
  bool binary = false;
  std::uint16_t block = 0;  // the last DATA sent (read) or stored in order (write)
  std::uint32_t retriesLeft = 0;
  bool lastBlock = false;
  SessionClock::duration timeout{};
  SessionClock::time_point deadline{};
  // How long before `deadline` it was set: the event loop keeps its timers by it.
  SessionClock::duration wait{};
  PacketBuffer send{};  // the last OACK, DATA or ACK: what a timeout sends again
  std::uint16_t sendLength = 0;
  // Negotiated (RFC 2347); without options, blocks of 512 bytes go one at a time.
  std::uint16_t blockSize = kDataSize;
  std::uint16_t windowSize = 1;
  bool optionsSent = false;  // an OACK answers the request
  // Read: the blocks sent and not yet acknowledged, the last of them `block`, and where the
  // reader stood before the first of them. With larger blocks or a window a block to be sent
  // again is read again from the file (its page cache): a transfer holds no copies of its
  // window, so that thousands of silent clients cost little. 512-byte blocks one at a time
  // keep their packet in `send`.
  std::uint16_t inFlight = 0;
  ReaderMark windowStart{};
  // Write: blocks stored since the last ACK.
  std::uint16_t unacknowledged = 0;
  TransferLogEntry entry;  // failed, date, time, addresses, mode, opcode, description, path
  TransferFacts facts;     // bytes, blocks, retransmissions, options: its record and metrics
  NetasciiReader reader;
  NetasciiWriter writer;
  TurnTicket turn;  // its place at its client's address
  // Its claim of its client's endpoint (EndpointTable::Claim), a null mailbox for none: the
  // table learns when the client is heard (single-port mode) and when the transfer ends.
  EndpointTable::Owner endpoint;
  bool heard = false;   // a packet came from the client
  bool logged = false;  // its end is written and counted (on entering kDallying)
  // When its request arrived on port 69, and when the client was last heard from (the
  // request counts until the first answer).
  SessionClock::time_point arrived{};
  SessionClock::time_point lastHeard{};
  std::uint8_t waits = 0;  // for a turn or a port: each stood for one Timeout of the first packet
};

inline bool SessionEnded(const TransferSession& session) {
  return session.state == SessionState::kSucceeded || session.state == SessionState::kFailed;
}

// Takes the request over from its record and frees the record into the request heap (a
// failed free reports EVENT_MEMORY_FREE and ends the session); takes the start time and date.
void BeginSession(TransferSession& session, ServerState& server, RequestRecord* record);
// The engine could not open the transfer's socket: EVENT_SOCKET_ALLOCATE, no answer.
void SocketNotOpened(TransferSession& session);
// Asks for a turn at the client's address (ClientTurns) on behalf of `waiter`, which finds the
// session again by `key`; a client on an address of this host needs none. Answers whether the
// transfer may start now; otherwise the session waits for its turn (kWaitingForTurn) until the
// engine starts it (StartTransfer) or its deadline, one Timeout away, ends it without a packet
// ("Timeout; max. retransmits reached"). A request repeated by a client port that already waits
// ends at once, without a packet and with a log line that has no description.
bool TakeTurn(TransferSession& session, GateWaiter& waiter, std::uintptr_t key,
              SessionClock::time_point now);
// No port of the transfer port range is free: the session waits (kWaitingForPort) until the
// engine opens its socket and starts it (StartTransfer), or its deadline, one Timeout away,
// ends it without a packet, as a wait for its turn does.
void AwaitPort(TransferSession& session, SessionClock::time_point now);
// With the socket open: checks the request, opens the file and sends the first DATA or ACK 0;
// with one retry fewer for each wait (for its turn, for a port) before.
void StartTransfer(TransferSession& session, PacketSink& sink, SessionClock::time_point now);
// The largest datagram a client may send this transfer: larger ones are dropped unread.
std::size_t LargestDatagram(const TransferSession& session);
// A datagram arrived on the transfer's socket from `sender`.
void OnDatagram(TransferSession& session, std::span<const std::uint8_t> datagram,
                const platform::SocketAddress& sender, PacketSink& sink,
                SessionClock::time_point now);
// The deadline passed without a packet from the client; for a dallying write, the end of it.
void OnDeadline(TransferSession& session, PacketSink& sink, SessionClock::time_point now);
// When the engine is to look whether the session keeps a slot that waiting requests need:
// a client's timeout option may make it wait far longer for its client than the server's own
// Timeout x (MaxRetransmit + 1) would. Once that long has passed since its client was last
// heard from, the answer moves on by one server Timeout at a time; for a session that cannot
// outlive that bound by its own deadlines it is SessionClock::time_point::max().
SessionClock::time_point NextSilenceCheck(const TransferSession& session,
                                          SessionClock::time_point now);
// Requests wait at the bound on transfers (RequestsWaiting): a session whose client has been
// silent for longer than the server's own bound ends as at its last timeout, without a
// packet, and yields its slot.
void OnRequestsWaiting(TransferSession& session, SessionClock::time_point now);
// The receive failed: `error` WSAENOTSOCK (or a cancel at shutdown, ERROR_OPERATION_ABORTED) ends
// the transfer quietly, anything else with EVENT_SOCKET_READ. No packet is sent.
void OnReceiveFailed(TransferSession& session, Win32Error error);
// The client asked again from the same address and port, and its new request is served
// instead: the transfer ends quietly, without a packet.
void OnSuperseded(TransferSession& session);
// Once ended: the log line, the file, the turn and the endpoint. The engine then closes the socket
// and counts the transfer out (TransferLimit::Ended).
void FinishSession(TransferSession& session);

}  // namespace quoril
