#include "tftp/session/retransmit_backoff.h"

#include <algorithm>

namespace quoril {

namespace {

// The longest Timeout a setting or a client's option may give; the event loop keeps its
// timers by whole seconds up to it.
constexpr std::chrono::seconds kLongestWait{255};

}  // namespace

std::chrono::steady_clock::duration RetransmitWait(const ServerConfig& config,
                                                   std::chrono::steady_clock::duration timeout,
                                                   std::uint32_t retransmissions) {
  if (config.RetransmitBackoff == 0) return timeout;
  using Duration = std::chrono::steady_clock::duration;
  const Duration total = timeout * (std::int64_t{config.MaxRetransmit} + 1);
  Duration waited{0};
  Duration wait = timeout;
  // Waits grow only while they fit the total (at most 51 of them), so nothing overflows.
  for (std::uint32_t k = 0; k < retransmissions && waited < total; ++k) {
    waited += wait;
    wait = std::min<Duration>(wait * 2, kLongestWait);
  }
  return std::clamp<Duration>(total - waited, Duration{0}, wait);
}

}  // namespace quoril
