#include "platform/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "tftp/state/request_record.h"

namespace quoril::platform {
namespace {

TEST(PrivateHeap, RequestHeapSizesHoldEightRecords) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(kRequestHeapInitialSize, kRequestHeapMaximumSize, sizeof(RequestRecord)),
            ERROR_SUCCESS);
  EXPECT_EQ(heap.Capacity(), 8u);
  std::set<void*> blocks;
  for (int i = 0; i < 8; ++i) {
    void* block = heap.Allocate();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(RequestRecord), 0u);
    blocks.insert(block);
  }
  EXPECT_EQ(blocks.size(), 8u);
  EXPECT_EQ(heap.Allocate(), nullptr) << "the heap never grows beyond its maximum";
  void* first = *blocks.begin();
  EXPECT_TRUE(heap.Free(first));
  EXPECT_EQ(heap.Allocate(), first);
}

TEST(PrivateHeap, FreeRefusesWhatItDidNotHandOut) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(64, 128, 32), ERROR_SUCCESS);
  int outside = 0;
  EXPECT_FALSE(heap.Free(&outside));
  EXPECT_FALSE(heap.Free(nullptr));
  auto* block = static_cast<std::uint8_t*>(heap.Allocate());
  ASSERT_NE(block, nullptr);
  EXPECT_FALSE(heap.Free(block + 1)) << "not the start of a block";
  EXPECT_TRUE(heap.Free(block));
  EXPECT_FALSE(heap.Free(block)) << "freed twice";
}

TEST(PrivateHeap, RejectsSizesThatHoldNoBlock) {
  PrivateHeap heap;
  EXPECT_EQ(heap.Create(16, 16, 32), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(heap.Create(64, 32, 16), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(heap.Create(0, 64, 0), ERROR_INVALID_PARAMETER);
}

TEST(PrivateHeap, DestroyEndsWaitsAndLateFreesAreHarmless) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(32, 32, 32), ERROR_SUCCESS);
  void* only = heap.Allocate();
  ASSERT_NE(only, nullptr);
  std::promise<void> woke;
  std::future<void> returned = woke.get_future();
  std::thread waiter([&] {
    heap.WaitForRoom();
    woke.set_value();
  });
  EXPECT_EQ(returned.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "a full heap holds the waiter";
  heap.Destroy();
  const bool ended = returned.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!ended) heap.Free(only);  // lets the waiter go, so that the failure does not hang
  waiter.join();
  ASSERT_TRUE(ended) << "the destroy ends the wait";
  EXPECT_FALSE(heap.Exists());
  EXPECT_EQ(heap.Allocate(), nullptr);
  EXPECT_TRUE(heap.Free(only)) << "a transfer thread may free its record after the shutdown";
}

TEST(PrivateHeap, ManyThreadsAllocateAndFreeWithoutLosingBlocks) {
  PrivateHeap heap;
  ASSERT_EQ(heap.Create(kRequestHeapInitialSize, kRequestHeapMaximumSize, sizeof(RequestRecord)),
            ERROR_SUCCESS);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        void* block = heap.Allocate();
        while (block == nullptr) {
          heap.WaitForRoom();
          block = heap.Allocate();
        }
        // Another thread holding the same block would overwrite this mark.
        *static_cast<volatile int*>(block) = t;
        std::this_thread::yield();
        if (*static_cast<volatile int*>(block) != t) ++failures;
        if (!heap.Free(block)) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<void*> blocks;
  while (void* block = heap.Allocate()) blocks.insert(block);
  EXPECT_EQ(blocks.size(), 8u);
}

}  // namespace
}  // namespace quoril::platform
