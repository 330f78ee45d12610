#include "tftp/state/service_controls.h"

#include <algorithm>

namespace quoril {

ServiceControls::State ServiceControls::Now() const {
  std::lock_guard lock(mutex_);
  return state_;
}

template <typename Change>
void ServiceControls::Apply(Change change) {
  std::lock_guard lock(mutex_);
  change(state_);
  changed_.notify_all();
  for (std::uint32_t k = 0; k < wakerCount_; ++k) wakers_[k]->Wake();
}

void ServiceControls::Pause() {
  Apply([](State& state) { state.held = true; });
}

void ServiceControls::Continue() {
  Apply([](State& state) {
    state.held = false;
    state.released = std::chrono::steady_clock::now();
  });
}

void ServiceControls::Stop() {
  Apply([](State& state) { state.stopRequested = true; });
}

void ServiceControls::WakeAll() {
  Apply([](State&) {});
}

bool ServiceControls::AddWaker(Waker& waker) {
  std::lock_guard lock(mutex_);
  if (wakerCount_ == kMaxWakers) return false;
  wakers_[wakerCount_++] = &waker;
  return true;
}

void ServiceControls::RemoveWaker(Waker& waker) {
  std::lock_guard lock(mutex_);
  const auto end = wakers_.begin() + wakerCount_;
  const auto found = std::find(wakers_.begin(), end, &waker);
  if (found == end) return;
  *found = *(end - 1);
  --wakerCount_;
}

void ServiceControls::WaitWhileHeld() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !state_.held || state_.stopRequested; });
}

void ServiceControls::WaitForStop() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return state_.stopRequested; });
}

}  // namespace quoril
