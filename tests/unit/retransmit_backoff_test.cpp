#include "tftp/session/retransmit_backoff.h"

#include <gtest/gtest.h>

#include "config/server_config.h"

namespace quoril {
namespace {

TEST(RetransmitWaitTest, DoublesWithinTheTotalOfFixedWaits) {
  // {RetransmitBackoff, MaxRetransmit, timeout, retransmissions so far, wait}, in seconds;
  // a wait of 0 gives up. With backoff, 3 s and 5: copies at 0, 3 and 9 s, the end at 18 s.
  const std::uint32_t rows[][5] = {{0, 5, 3, 4, 3},     {1, 5, 3, 0, 3}, {1, 5, 3, 1, 6},
                                   {1, 5, 3, 2, 9},     {1, 5, 3, 3, 0}, {1, 0, 3, 1, 0},
                                   {1, 50, 200, 1, 255} /* no wait beyond 255 s */};
  ServerConfig config;
  for (const auto& [backoff, maxRetransmit, timeout, retransmissions, wait] : rows) {
    config.RetransmitBackoff = backoff;
    config.MaxRetransmit = maxRetransmit;
    EXPECT_EQ(RetransmitWait(config, std::chrono::seconds(timeout), retransmissions),
              std::chrono::seconds(wait))
        << backoff << " " << maxRetransmit << " " << timeout << " " << retransmissions;
  }
}

}  // namespace
}  // namespace quoril
