#include "platform/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quoril::platform {
namespace {

// Routines that each wait until all of a round have started: they finish only if every
// one of them runs on a thread of its own at the same time.
struct Round {
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  int finished = 0;
  int size = 0;
};

void MeetTheOthers(void* argument) {
  auto& round = *static_cast<Round*>(argument);
  std::unique_lock lock(round.mutex);
  ++round.started;
  round.changed.notify_all();
  const bool met = round.changed.wait_for(lock, std::chrono::seconds(20),
                                          [&] { return round.started == round.size; });
  if (met) ++round.finished;
  round.changed.notify_all();
}

bool RunRound(Round& round, int size) {
  round.size = size;
  for (int i = 0; i < size; ++i) {
    if (StartDetachedThread(MeetTheOthers, &round) != ERROR_SUCCESS) return false;
  }
  std::unique_lock lock(round.mutex);
  return round.changed.wait_for(lock, std::chrono::seconds(30),
                                [&] { return round.finished == size; });
}

TEST(StartDetachedThread, EveryRoutineRunsAtOnceOnAThreadOfItsOwn) {
  Round first;
  ASSERT_TRUE(RunRound(first, 40));
  // The threads of the first round are idle now; a larger round needs them and new ones.
  Round second;
  ASSERT_TRUE(RunRound(second, 60));
  Round third;
  ASSERT_TRUE(RunRound(third, 5));
}

TEST(StartDetachedThread, ManyShortRoutinesAllRun) {
  static std::atomic<int> ran{0};
  ran = 0;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(StartDetachedThread([](void*) { ran.fetch_add(1); }, nullptr), ERROR_SUCCESS);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ran.load() < 2000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ran.load(), 2000);
}

}  // namespace
}  // namespace quoril::platform
