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
