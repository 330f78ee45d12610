// The service control's pause, continue and stop, as the intake and the engines see them:
// written from the control's thread, read by the listener and the loops, each of which a
// control wakes through its Waker.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "tftp/admission/waker.h"

namespace quoril {

class ServiceControls {
 public:
  static constexpr std::uint32_t kMaxWakers = 64;
  struct State {
    bool held = false;
    bool stopRequested = false;
    // The last continue: requests queued while held have waited since then only.
    std::chrono::steady_clock::time_point released{};
  };
  State Now() const;

  // From the control's thread; each wakes every registered waker.
  void Pause();
  void Continue();
  void Stop();
  // Wakes every registered waker, as a control does: the port sockets changed.
  void WakeAll();

  // A waker is registered before its engine waits (false beyond kMaxWakers) and removed
  // before it is destroyed; removing one that is not registered does nothing.
  bool AddWaker(Waker& waker);
  void RemoveWaker(Waker& waker);

  // Blocks while paused: until continue or stop.
  void WaitWhileHeld();
  // Blocks until the stop (at once once stopped).
  void WaitForStop();

 private:
  // Changes the state under the lock and wakes every waiter.
  template <typename Change>
  void Apply(Change change);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  State state_;
  std::array<Waker*, kMaxWakers> wakers_{};
  std::uint32_t wakerCount_ = 0;
};

}  // namespace quoril
