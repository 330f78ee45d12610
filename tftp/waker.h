// What a gate calls when one who waits through it may go on: a thread's condition variable,
// or a loop's poller.
#pragma once

namespace quoril {

class Waker {
 public:
  // Called under the gate's lock: must neither block nor call back into the gate.
  virtual void Wake() = 0;

 protected:
  ~Waker() = default;
};

}  // namespace quoril
