// The inside of a transfer session, shared by its parts: the ends every part may bring a
// transfer to (transfer_session), the blocks of a read or a write (block_exchange) and the
// check of a request and its options (request_check).
#pragma once

#include <cstdint>
#include <span>

#include "config/server_config.h"
#include "tftp/session/transfer_session.h"

namespace quoril::session {

using TimePoint = SessionClock::time_point;

const ServerConfig& Config(const TransferSession& session);
void Fail(TransferSession& session);
void Succeed(TransferSession& session);
void FailWithDescription(TransferSession& session, std::uint32_t id);
// The one ERROR a session sends its client; the session ends after it.
void FailWithError(TransferSession& session, PacketSink& sink, Win32Error failure);
// The packet out now was sent at `now`: the client's answer is awaited until the deadline.
void AwaitAnswer(TransferSession& session, TimePoint now);
// The last OACK, DATA or ACK, again or for the first time, with the deadline after it.
void SendCurrent(TransferSession& session, PacketSink& sink, TimePoint now);

// block_exchange.cpp: the read side sends blocks, the write side stores and acknowledges them.
void ResendWindow(TransferSession& session, PacketSink& sink, TimePoint now);
void FillWindow(TransferSession& session, PacketSink& sink, TimePoint now);
void Acknowledge(TransferSession& session, PacketSink& sink, TimePoint now);
// After a write's final ACK: the transfer has succeeded (and with DallyAfterWrite lingers).
void EndWrite(TransferSession& session, TimePoint now);
void OptionAckArrived(TransferSession& session, std::span<const std::uint8_t> datagram,
                      PacketSink& sink, TimePoint now);
void AckArrived(TransferSession& session, std::span<const std::uint8_t> datagram, PacketSink& sink,
                TimePoint now);
void DataArrived(TransferSession& session, std::span<const std::uint8_t> datagram, PacketSink& sink,
                 TimePoint now);

// request_check.cpp: checks the request and opens its file; answers whether the transfer can
// begin. A request that fails here has been answered (or left unanswered) and has ended.
bool CheckRequestAndOpen(TransferSession& session, PacketSink& sink);

}  // namespace quoril::session
