#include "tftp/state/service_controls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace quoril {
namespace {

using namespace std::chrono_literals;

struct CountingWaker final : Waker {
  void Wake() override { ++wakes; }
  std::atomic<int> wakes{0};
};

// Every control wakes each registered waker and is seen at once; a removed waker is not woken.
TEST(ServiceControlsTest, EveryControlWakesTheWakersAndIsSeen) {
  ServiceControls controls;
  CountingWaker waker, removed;
  ASSERT_TRUE(controls.AddWaker(waker));
  ASSERT_TRUE(controls.AddWaker(removed));
  controls.RemoveWaker(removed);
  std::future<void> stopped = std::async(std::launch::async, [&] { controls.WaitForStop(); });
  struct Row {
    const char* name;
    void (ServiceControls::*control)();
    bool held, stopRequested;
  };
  const Row rows[] = {{"pause", &ServiceControls::Pause, true, false},
                      {"continue", &ServiceControls::Continue, false, false},
                      {"stop", &ServiceControls::Stop, false, true}};
  int wakes = 0;
  for (const Row& row : rows) {
    const auto before = std::chrono::steady_clock::now();
    (controls.*row.control)();
    EXPECT_EQ(waker.wakes.load(), ++wakes) << row.name;
    EXPECT_EQ(controls.Now().held, row.held) << row.name;
    EXPECT_EQ(controls.Now().stopRequested, row.stopRequested) << row.name;
    EXPECT_EQ(controls.Now().released >= before, row.control == &ServiceControls::Continue)
        << row.name;
    EXPECT_EQ(stopped.wait_for(row.stopRequested ? 5s : 0s) == std::future_status::ready,
              row.stopRequested)
        << row.name;
  }
  EXPECT_EQ(removed.wakes.load(), 0);
  controls.WaitForStop();  // at once once stopped
  controls.WakeAll();
  EXPECT_EQ(waker.wakes.load(), wakes + 1);
}

// A paused service holds the reader until continue, and a stop ends the hold without one.
TEST(ServiceControlsTest, APauseHoldsUntilContinueOrStop) {
  for (void (ServiceControls::*end)() : {&ServiceControls::Continue, &ServiceControls::Stop}) {
    ServiceControls controls;
    controls.WaitWhileHeld();  // not paused: at once
    controls.Pause();
    std::future<void> held = std::async(std::launch::async, [&] { controls.WaitWhileHeld(); });
    EXPECT_EQ(held.wait_for(50ms), std::future_status::timeout) << "ended while paused";
    (controls.*end)();
    const bool ended = held.wait_for(5s) == std::future_status::ready;
    if (!ended) controls.Continue();  // so that the failure does not hang the test
    EXPECT_TRUE(ended);
  }
}

}  // namespace
}  // namespace quoril
