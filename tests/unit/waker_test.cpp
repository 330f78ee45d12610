#include "tftp/admission/waker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace quoril {
namespace {

using Woken = ThreadWaker::Woken;
using namespace std::chrono_literals;

ThreadWaker::Clock::time_point In(std::chrono::milliseconds wait) {
  return ThreadWaker::Clock::now() + wait;
}

// A wake given before the wait is kept for it, once; one from another thread ends a wait.
TEST(ThreadWakerTest, AWakeIsKeptUntilTheNextWaitTakesIt) {
  WaitCancel cancel;
  ThreadWaker waker(cancel);
  waker.Wake();
  EXPECT_EQ(waker.WaitUntil(In(0ms)), Woken::kWoken);
  EXPECT_EQ(waker.WaitUntil(In(5ms)), Woken::kTimedOut);
  std::thread other([&waker] {
    std::this_thread::sleep_for(10ms);
    waker.Wake();
  });
  EXPECT_EQ(waker.WaitUntil(In(10s)), Woken::kWoken);
  other.join();
}

// The cancel ends every wait, before any wake, for good, and reaches wakers made after it.
TEST(ThreadWakerTest, TheCancelEndsEveryWaitForGood) {
  WaitCancel cancel;
  ThreadWaker first(cancel);
  std::thread other([&cancel] {
    std::this_thread::sleep_for(10ms);
    cancel.Cancel();
  });
  EXPECT_EQ(first.WaitUntil(In(10s)), Woken::kCancelled);
  other.join();
  first.Wake();
  EXPECT_EQ(first.WaitUntil(In(10s)), Woken::kCancelled);
  ThreadWaker later(cancel);
  EXPECT_TRUE(later.Cancelled());
  EXPECT_EQ(later.WaitUntil(In(10s)), Woken::kCancelled);
}

}  // namespace
}  // namespace quoril
