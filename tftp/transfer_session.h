// One transfer as a record driven from outside: it starts from its request and from then on
// reacts to "a datagram arrived" and "its deadline passed". An engine (a thread per
// transfer, or an event loop serving many) owns the socket and the clock; the record owns
// the protocol and never learns which engine drives it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "config/transfer_log.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "tftp/netascii.h"
#include "tftp/packets.h"

namespace quoril {

struct RequestRecord;

using SessionClock = std::chrono::steady_clock;

// Where a session's packets go: the transfer's socket in service, a recorder in tests.
class PacketSink {
 public:
  // One datagram to `to`; false when it could not be sent.
  virtual bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddressIn& to) = 0;

 protected:
  ~PacketSink() = default;
};

// Where a transfer stands. kSendBlock and kAcknowledged of the protocol's tables pass
// within one call, so a record rests only in a waiting state or an ending.
enum class SessionState : std::uint8_t {
  kTakingOver,  // the request is copied; nothing has been sent
  kAwaitAck,    // read: a DATA block is out
  kAwaitData,   // write: an ACK is out
  kSucceeded,
  kFailed,
};

// Everything one transfer knows. Written only by the thread that drives it.
struct TransferSession {
  SessionState state = SessionState::kTakingOver;
  PacketBuffer request{};
  platform::SocketAddressIn clientAddress{};
  std::uint32_t localAddress = 0;  // network byte order
  std::uint32_t localIndex = 0;    // of the address in the local address table
  platform::File file;
  std::uint16_t opcode = 0;
  bool binary = false;
  std::uint16_t block = 0;  // the last DATA sent (read) or acknowledged (write)
  std::uint32_t retriesLeft = 0;
  bool lastBlock = false;
  SessionClock::duration timeout{};
  SessionClock::time_point deadline{};
  PacketBuffer send{};  // the last DATA or ACK: what a timeout sends again
  std::uint16_t sendLength = 0;
  PacketBuffer error{};  // an ERROR, to the client or to a stranger
  std::array<char, kMaxRequestName + 1> name{};
  TransferLogEntry entry;  // failed, date, time, addresses, mode, opcode, description, path
  NetasciiReader reader;
  NetasciiWriter writer;
};

inline bool SessionEnded(const TransferSession& session) {
  return session.state == SessionState::kSucceeded || session.state == SessionState::kFailed;
}

// Takes the request over from its record and frees the record into the request heap (a
// failed free reports EVENT_MEMORY_FREE and ends the session); takes the start time and date.
void BeginSession(TransferSession& session, RequestRecord* record);
// The engine could not open the transfer's socket: EVENT_SOCKET_ALLOCATE, no answer.
void SocketNotOpened(TransferSession& session);
// With the socket open: checks the request, opens the file and sends the first DATA or ACK 0.
void StartTransfer(TransferSession& session, PacketSink& sink, SessionClock::time_point now);
// A datagram of at most kMaxPacket bytes arrived on the transfer's socket from `sender`.
void OnDatagram(TransferSession& session, std::span<const std::uint8_t> datagram,
                const platform::SocketAddressIn& sender, PacketSink& sink,
                SessionClock::time_point now);
// The deadline passed without a packet from the client.
void OnDeadline(TransferSession& session, PacketSink& sink, SessionClock::time_point now);
// The receive failed: `error` WSAENOTSOCK (or a cancel at shutdown, ERROR_SUCCESS) ends the
// transfer quietly, anything else with EVENT_SOCKET_READ. No packet is sent.
void OnReceiveFailed(TransferSession& session, Win32Error error);
// Once ended: the log line and the file. The engine then closes the socket and counts the
// transfer out of RunningTransfers.
void FinishSession(TransferSession& session);

// The thread routine of a transfer in the thread-per-transfer engine; `record` is the
// RequestRecord, which the session takes over.
void TransferSessionThread(void* record);

}  // namespace quoril
