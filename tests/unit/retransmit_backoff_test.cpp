#include "tftp/retransmit_backoff.h"

#include <gtest/gtest.h>

#include "config/server_config.h"

namespace quoril {
namespace {

TEST(RetransmitWaitTest, DoublesWithinTheTotalOfFixedWaits) {
  struct Row {
    std::uint32_t backoff, maxRetransmit;
    int timeout;
    std::uint32_t retransmissions;
    int wait;  // seconds; 0: the transfer gives up
  };
  const Row rows[] = {
      {0, 5, 3, 0, 3},      {0, 5, 3, 4, 3},                         // the value absent
      {1, 5, 3, 0, 3},      {1, 5, 3, 1, 6},       {1, 5, 3, 2, 9},  // 0, 3, 9: gives up at 18
      {1, 5, 3, 3, 0},      {1, 3, 1, 2, 1},       {1, 3, 1, 3, 0},  // 0, 1, 3: gives up at 4
      {1, 0, 3, 0, 3},      {1, 0, 3, 1, 0},                         // nothing sent again
      {1, 50, 200, 1, 255}, {1, 50, 255, 50, 255},                   // no wait beyond 255 s
  };
  const ServerConfig saved = gServerConfig;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.backoff << " " << row.maxRetransmit << " " << row.timeout
                                    << " " << row.retransmissions);
    gServerConfig.RetransmitBackoff = row.backoff;
    gServerConfig.MaxRetransmit = row.maxRetransmit;
    EXPECT_EQ(RetransmitWait(std::chrono::seconds(row.timeout), row.retransmissions),
              std::chrono::seconds(row.wait));
  }
  gServerConfig = saved;
}

}  // namespace
}  // namespace quoril
