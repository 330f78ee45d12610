// What the server observes of each transfer's end: its counts in the metrics and its line in
// the transfer record file. Called once per ended transfer, where its log line is written.
#pragma once

#include <chrono>

#include "config/transfer_log.h"
#include "observe/metrics.h"
#include "observe/transfer_facts.h"
#include "platform/socket_address.h"

namespace quoril {

// The port that requests arrive at; the record names it as the transfer's local port.
inline constexpr std::uint16_t kRequestPort = 69;

// `engine` names what served the transfer in its record.
void ObserveTransferEnd(Metrics& metrics, const char* engine, const TransferLogEntry& entry,
                        const TransferFacts& facts, const platform::SocketAddress& client,
                        std::chrono::steady_clock::duration elapsed);

}  // namespace quoril
