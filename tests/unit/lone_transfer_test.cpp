// When a loop's only transfer waits on its own socket, and how a slow client spaces the waits.
#include <gtest/gtest.h>

#include "tftp/engines/loop.h"

namespace quoril::loops {
namespace {

// The packets that go through the poller before the next wait on the socket.
int PolledBeforeNextWait(LoneTransfer& lone) {
  int polled = 0;
  while (!lone.Waits(1)) ++polled;
  return polled;
}

TEST(LoneTransfer, EachWaitInVainDoublesThePolledPacketsUpTo63) {
  LoneTransfer lone;
  EXPECT_TRUE(lone.Waits(1));
  EXPECT_FALSE(lone.Waits(2)) << "a second transfer goes through the poller";
  EXPECT_FALSE(lone.Waits(0));
  for (const int expected : {1, 3, 7, 15, 31, 63, 63}) {
    lone.Answered(false);
    EXPECT_EQ(PolledBeforeNextWait(lone), expected);
  }
  lone.Answered(true);
  lone.Answered(false);
  EXPECT_EQ(PolledBeforeNextWait(lone), 1) << "an answer in time starts the doubling again";
}

}  // namespace
}  // namespace quoril::loops
