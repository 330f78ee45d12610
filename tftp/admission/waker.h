// How whoever waits at a gate (a client's turn, a transfer port, room under the bound, a
// single-port mailbox) is woken when it may go on: one interface that every gate calls, a
// thread's own event for the thread engine and the poller's wake for a loop, and one cancel
// at the stop for every thread that waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/event_poller.h"

namespace quoril {

class Waker {
 public:
  // Called from any thread, often under a gate's lock: never blocks, never calls a gate.
  virtual void Wake() = 0;

 protected:
  ~Waker() = default;
};

// An event loop's: the wake ends the loop's poller wait.
class PollerWaker final : public Waker {
 public:
  explicit PollerWaker(platform::EventPoller& poller) : poller_(poller) {}
  void Wake() override { poller_.Wake(); }

 private:
  platform::EventPoller& poller_;
};

struct TurnTicket;

// Whoever waits at the gates on behalf of sessions: an engine's thread or loop, woken through
// `waker` when a ticket of its was granted (ClientTurns) or a port of this process freed
// (TransferPorts). Each gate keeps its part under its own lock.
class GateWaiter {
 public:
  explicit GateWaiter(Waker& waker) : waker_(waker) {}
  GateWaiter(const GateWaiter&) = delete;
  GateWaiter& operator=(const GateWaiter&) = delete;

 private:
  friend class ClientTurns;
  friend class TransferPorts;
  Waker& waker_;
  // Tickets granted and not yet taken up, oldest first.
  TurnTicket* grantedHead_ = nullptr;
  TurnTicket* grantedTail_ = nullptr;
  // In the ports' list of waiters to notify.
  GateWaiter* previous_ = nullptr;
  GateWaiter* next_ = nullptr;
  bool listed_ = false;
};

class ThreadWaker;

// The stop's one cancel: every thread's wait answers kCancelled from then on.
class WaitCancel {
 public:
  void Cancel();

 private:
  friend class ThreadWaker;
  std::mutex mutex_;
  ThreadWaker* first_ = nullptr;  // every ThreadWaker alive
  bool cancelled_ = false;
};

// A thread's: a wake is kept until the thread's next wait takes it, so that none is lost
// between a look at a gate and the wait.
class ThreadWaker final : public Waker {
 public:
  enum class Woken : std::uint8_t { kWoken, kTimedOut, kCancelled };
  using Clock = std::chrono::steady_clock;

  explicit ThreadWaker(WaitCancel& cancel);
  ~ThreadWaker();
  ThreadWaker(const ThreadWaker&) = delete;
  ThreadWaker& operator=(const ThreadWaker&) = delete;

  void Wake() override;
  bool Cancelled();
  // Until a wake, `until` or the cancel; the cancel is answered first, and for good.
  Woken WaitUntil(Clock::time_point until);

 private:
  friend class WaitCancel;
  WaitCancel& cancel_;
  ThreadWaker* previous_ = nullptr;  // in the cancel's list, under its lock
  ThreadWaker* next_ = nullptr;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool wakePending_ = false;
  bool cancelled_ = false;
};

}  // namespace quoril
