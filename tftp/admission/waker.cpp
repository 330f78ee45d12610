#include "tftp/admission/waker.h"

namespace quoril {

void WaitCancel::Cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  for (ThreadWaker* waker = first_; waker != nullptr; waker = waker->next_) {
    std::lock_guard wakerLock(waker->mutex_);
    waker->cancelled_ = true;
    waker->woken_.notify_one();
  }
}

ThreadWaker::ThreadWaker(WaitCancel& cancel) : cancel_(cancel) {
  std::lock_guard lock(cancel_.mutex_);
  cancelled_ = cancel_.cancelled_;
  next_ = cancel_.first_;
  if (next_ != nullptr) next_->previous_ = this;
  cancel_.first_ = this;
}

ThreadWaker::~ThreadWaker() {
  std::lock_guard lock(cancel_.mutex_);
  (previous_ != nullptr ? previous_->next_ : cancel_.first_) = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
}

void ThreadWaker::Wake() {
  std::lock_guard lock(mutex_);
  wakePending_ = true;
  woken_.notify_one();
}

bool ThreadWaker::Cancelled() {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

ThreadWaker::Woken ThreadWaker::WaitUntil(Clock::time_point until) {
  std::unique_lock lock(mutex_);
  woken_.wait_until(lock, until, [this] { return wakePending_ || cancelled_; });
  if (cancelled_) return Woken::kCancelled;
  if (!wakePending_) return Woken::kTimedOut;
  wakePending_ = false;
  return Woken::kWoken;
}

}  // namespace quoril
