// Threads, the private heap of request records and the local clock: the same cases for every
// backend.
#include "platform/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace quoril::platform {
namespace {

using namespace std::chrono_literals;

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
  const bool met = round.changed.wait_for(lock, 20s, [&] { return round.started == round.size; });
  if (met) ++round.finished;
  round.changed.notify_all();
}

bool RunRound(Round& round, int size) {
  round.size = size;
  for (int i = 0; i < size; ++i) {
    if (StartDetachedThread(MeetTheOthers, &round) != ERROR_SUCCESS) return false;
  }
  std::unique_lock lock(round.mutex);
  return round.changed.wait_for(lock, 30s, [&] { return round.finished == size; });
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
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (ran.load() < 2000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(ran.load(), 2000);
}

std::atomic<int> gRuns{0};

void CountRun(void* argument) {
  gRuns.fetch_add(*static_cast<int*>(argument));
}

TEST(Threads, DetachedAndJoinedThreadsRunTheirRoutine) {
  int three = 3;
  gRuns = 0;
  ASSERT_EQ(StartDetachedThread(CountRun, &three), ERROR_SUCCESS);
  for (int i = 0; i < 500 && gRuns.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(gRuns.load(), 3);

  JoinableThread thread;
  EXPECT_FALSE(thread.IsStarted());
  ASSERT_EQ(thread.Start(CountRun, &three), ERROR_SUCCESS);
  EXPECT_TRUE(thread.IsStarted());
  EXPECT_EQ(thread.Start(CountRun, &three), ERROR_INVALID_FUNCTION);
  thread.Join();
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_EQ(gRuns.load(), 6);
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
    if (++compared == 1) std::this_thread::sleep_for(1100ms);
  }
  EXPECT_EQ(compared, 2);
}

TEST(PrivateHeap, AFixedPoolOfEightRecords) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(2144, 4288, 536), ERROR_SUCCESS);
  EXPECT_EQ(heap.Capacity(), 8u);
  std::vector<void*> blocks;
  while (void* block = heap.Allocate()) {
    ASSERT_LE(blocks.size(), 8u);
    blocks.push_back(block);
  }
  ASSERT_EQ(blocks.size(), 8u);
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    EXPECT_GE(static_cast<char*>(blocks[i]) - static_cast<char*>(blocks[i - 1]), 536);
  }
  int local = 0;
  EXPECT_FALSE(heap.Free(&local));
  EXPECT_FALSE(heap.Free(static_cast<char*>(blocks[0]) + 1)) << "not the start of a block";
  EXPECT_FALSE(heap.Free(nullptr));
  EXPECT_TRUE(heap.Free(blocks[3]));
  EXPECT_FALSE(heap.Free(blocks[3])) << "freed twice";
  EXPECT_EQ(heap.Allocate(), blocks[3]);
  for (void* block : blocks) EXPECT_TRUE(heap.Free(block));
}

TEST(PrivateHeap, ArgumentsThatMakeNoPool) {
  struct Row {
    std::size_t initial, maximum, block;
  };
  const Row rows[] = {{10, 100, 0}, {0, 64, 0},     {200, 100, 10},
                      {64, 32, 16}, {10, 100, 101}, {16, 16, 32}};
  for (const Row& row : rows) {
    PrivateHeap heap;
    EXPECT_EQ(heap.Create(row.initial, row.maximum, row.block), ERROR_INVALID_PARAMETER)
        << row.initial << " " << row.maximum << " " << row.block;
    EXPECT_FALSE(heap.Exists());
    EXPECT_EQ(heap.Allocate(), nullptr);
  }
}

TEST(PrivateHeap, WaitForRoomEndsWithAFreeOrTheDestruction) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(536, 1072, 536), ERROR_SUCCESS);
  void* first = heap.Allocate();
  void* second = heap.Allocate();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(heap.Allocate(), nullptr);
  const auto waitAside = [&heap] {
    return std::async(std::launch::async, [&heap] { heap.WaitForRoom(); });
  };

  std::future<void> waited = waitAside();
  EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout) << "a full heap holds the waiter";
  heap.Free(first);
  ASSERT_EQ(waited.wait_for(5s), std::future_status::ready) << "a free ends the wait";
  EXPECT_EQ(heap.Allocate(), first);

  waited = waitAside();
  EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout);
  heap.Destroy();
  const bool ended = waited.wait_for(5s) == std::future_status::ready;
  if (!ended) heap.Free(first);  // lets the waiter go, so that the failure does not hang
  ASSERT_TRUE(ended) << "the destruction ends the wait";
  EXPECT_FALSE(heap.Exists());
  EXPECT_EQ(heap.Allocate(), nullptr);
  EXPECT_TRUE(heap.Free(second)) << "a transfer thread may free its record after the shutdown";
}

}  // namespace
}  // namespace quoril::platform
