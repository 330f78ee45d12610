// What every system shares of threads.h: the joinable thread, and the pool of request
// records, over the C++ runtime.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/threads.h"

namespace quoril::platform {

struct JoinableThread::State {
  std::thread thread;
};

JoinableThread::JoinableThread() : state_(std::make_unique<State>()) {}

JoinableThread::~JoinableThread() {
  Join();
}

Win32Error JoinableThread::Start(ThreadRoutine routine, void* argument) {
  if (state_->thread.joinable()) return ERROR_INVALID_FUNCTION;
  try {
    state_->thread = std::thread(routine, argument);
    return ERROR_SUCCESS;
  } catch (const std::system_error&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool JoinableThread::IsStarted() const {
  return state_->thread.joinable();
}

void JoinableThread::Join() {
  if (state_->thread.joinable()) state_->thread.join();
}

struct PrivateHeap::State {
  std::mutex mutex;
  std::condition_variable freed;
  // Allocated at creation and kept while the heap object lives (see Destroy).
  std::unique_ptr<std::byte[]> storage;
  std::vector<bool> inUse;
  std::size_t blockSize = 0;
  bool exists = false;
};

PrivateHeap::PrivateHeap() : state_(std::make_unique<State>()) {}

PrivateHeap::~PrivateHeap() = default;

Win32Error PrivateHeap::Create(std::size_t initialSize, std::size_t maximumSize,
                               std::size_t blockSize) {
  std::lock_guard lock(state_->mutex);
  if (blockSize == 0 || initialSize > maximumSize || maximumSize / blockSize == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (state_->storage == nullptr || state_->blockSize != blockSize ||
      state_->inUse.size() != maximumSize / blockSize) {
    state_->blockSize = blockSize;
    state_->inUse.assign(maximumSize / blockSize, false);
    state_->storage = std::make_unique<std::byte[]>(state_->inUse.size() * blockSize);
  }
  state_->exists = true;
  return ERROR_SUCCESS;
}

bool PrivateHeap::Exists() const {
  std::lock_guard lock(state_->mutex);
  return state_->exists;
}

void* PrivateHeap::Allocate() {
  std::lock_guard lock(state_->mutex);
  if (!state_->exists) return nullptr;
  const auto unused = std::ranges::find(state_->inUse, false);
  if (unused == state_->inUse.end()) return nullptr;
  *unused = true;
  const auto index = static_cast<std::size_t>(unused - state_->inUse.begin());
  return state_->storage.get() + index * state_->blockSize;
}

void PrivateHeap::WaitForRoom() {
  std::unique_lock lock(state_->mutex);
  state_->freed.wait(lock, [this] {
    return !state_->exists || std::ranges::find(state_->inUse, false) != state_->inUse.end();
  });
}

bool PrivateHeap::Free(void* block) {
  std::lock_guard lock(state_->mutex);
  if (state_->storage == nullptr || block == nullptr) return false;
  const auto* begin = state_->storage.get();
  const auto* p = static_cast<const std::byte*>(block);
  if (p < begin || p >= begin + state_->inUse.size() * state_->blockSize) return false;
  const auto offset = static_cast<std::size_t>(p - begin);
  if (offset % state_->blockSize != 0) return false;
  const std::size_t index = offset / state_->blockSize;
  if (!state_->inUse[index]) return false;
  state_->inUse[index] = false;
  state_->freed.notify_one();
  return true;
}

void PrivateHeap::Destroy() {
  std::lock_guard lock(state_->mutex);
  // The storage stays, so that a transfer thread that frees its record late touches
  // nothing released and its free still succeeds.
  state_->exists = false;
  state_->freed.notify_all();
}

std::size_t PrivateHeap::Capacity() const {
  std::lock_guard lock(state_->mutex);
  return state_->inUse.size();
}

}  // namespace quoril::platform
