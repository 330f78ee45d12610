// Threads, the private heap of request records and the local clock of the Win32 backend.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/threads.h"

namespace quoril::platform {
namespace {

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
  EXPECT_FALSE(heap.Free(static_cast<char*>(blocks[0]) + 1));
  EXPECT_FALSE(heap.Free(nullptr));
  EXPECT_TRUE(heap.Free(blocks[3]));
  EXPECT_FALSE(heap.Free(blocks[3])) << "freed twice";
  EXPECT_EQ(heap.Allocate(), blocks[3]);
  for (void* block : blocks) EXPECT_TRUE(heap.Free(block));
}

TEST(PrivateHeap, ArgumentsThatMakeNoPool) {
  PrivateHeap heap;
  EXPECT_EQ(heap.Create(10, 100, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(heap.Create(200, 100, 10), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(heap.Create(10, 100, 101), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(heap.Exists());
  EXPECT_EQ(heap.Allocate(), nullptr);
}

TEST(PrivateHeap, WaitForRoomEndsWithAFreeOrTheDestruction) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(536, 1072, 536), ERROR_SUCCESS);
  void* first = heap.Allocate();
  void* second = heap.Allocate();
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(heap.Allocate(), nullptr);
  std::thread freer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    heap.Free(first);
  });
  heap.WaitForRoom();
  EXPECT_EQ(heap.Allocate(), first);
  freer.join();

  std::thread destroyer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    heap.Destroy();
  });
  heap.WaitForRoom();
  destroyer.join();
  EXPECT_FALSE(heap.Exists());
  EXPECT_EQ(heap.Allocate(), nullptr);
  // A transfer thread that frees its record after the destruction touches nothing released.
  EXPECT_TRUE(heap.Free(second));
}

std::atomic<int> gRuns{0};

void CountRun(void* argument) {
  gRuns.fetch_add(*static_cast<int*>(argument));
}

TEST(Threads, DetachedAndJoinedThreadsRunTheirRoutine) {
  int three = 3;
  gRuns = 0;
  ASSERT_EQ(StartDetachedThread(CountRun, &three), ERROR_SUCCESS);
  for (int i = 0; i < 500 && gRuns.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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

TEST(LocalTime, TheLocalClock) {
  const std::time_t before = std::time(nullptr);
  const LocalTime moment = GetLocalTime();
  std::tm local{};
  local.tm_year = moment.year - 1900;
  local.tm_mon = moment.month - 1;
  local.tm_mday = moment.day;
  local.tm_hour = moment.hour;
  local.tm_min = moment.minute;
  local.tm_sec = moment.second;
  local.tm_isdst = -1;
  EXPECT_LE(std::abs(std::difftime(std::mktime(&local), before)), 2.0);
}

}  // namespace
}  // namespace quoril::platform
