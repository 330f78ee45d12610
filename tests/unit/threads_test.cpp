#include "platform/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
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

// The local clock as the C library converts it, second by second: answers taken within one
// second match the conversion of that second, and a later second is seen as it comes.
TEST(GetLocalTime, FollowsTheClockSecondBySecond) {
  int compared = 0;
  for (int attempt = 0; attempt < 20 && compared < 2; ++attempt) {
    const std::time_t before = std::time(nullptr);
    const LocalTime moment = GetLocalTime();
    if (std::time(nullptr) != before) continue;  // the second turned meanwhile
    const std::tm expected = *std::localtime(&before);
    EXPECT_EQ(moment.year, expected.tm_year + 1900);
    EXPECT_EQ(moment.month, expected.tm_mon + 1);
    EXPECT_EQ(moment.day, expected.tm_mday);
    EXPECT_EQ(moment.hour, expected.tm_hour);
    EXPECT_EQ(moment.minute, expected.tm_min);
    EXPECT_EQ(moment.second, expected.tm_sec);
    if (++compared == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  }
  EXPECT_EQ(compared, 2);
}

}  // namespace
}  // namespace quoril::platform
