// How long a transfer waits for its client's answer before it sends its packet again.
#pragma once

#include <chrono>
#include <cstdint>

#include "config/server_config.h"

namespace quoril {

// Without RetransmitBackoff every wait is `timeout`. With it, each wait for one packet is
// twice the one before, from `timeout`, and no longer than the longest Timeout one may set:
// a client that restarts its own timer on every packet it receives (tftp-hpa) hears nothing
// long enough to send its lost packet again. Either way the transfer waits `timeout` x
// (MaxRetransmit + 1) in all for an answer before it gives up; with backoff the last wait is
// cut short to end there, so fewer copies go out. `retransmissions`: how often the packet
// was sent again before. Zero: no wait is left, the transfer gives up instead of sending.
std::chrono::steady_clock::duration RetransmitWait(const ServerConfig& config,
                                                   std::chrono::steady_clock::duration timeout,
                                                   std::uint32_t retransmissions);

}  // namespace quoril
