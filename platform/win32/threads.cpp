// Threads, the private heap of request records and the local clock, over the Win32 calls.
#include "platform/threads.h"

#include "platform/win32/windows_headers.h"

#include <malloc.h>

#include <memory>
#include <vector>

#include "platform/win32/handles.h"

namespace quoril::platform {

namespace {

// What a new thread runs; owned by the thread once it exists.
struct ThreadStart {
  ThreadRoutine routine;
  void* argument;
};

DWORD WINAPI RunThread(LPVOID parameter) {
  const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  start->routine(start->argument);
  return 0;
}

// CreateThread with the default stack size, running at once. The thread owns `start` only
// when it was created.
Win32Error CreateRunningThread(ThreadRoutine routine, void* argument, UniqueHandle& thread) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{routine, argument});
  DWORD id = 0;
  thread = UniqueHandle(::CreateThread(nullptr, 0, RunThread, start.get(), 0, &id));
  if (!thread.Valid()) return ::GetLastError();
  start.release();
  return ERROR_SUCCESS;
}

}  // namespace

Win32Error StartDetachedThread(ThreadRoutine routine, void* argument) {
  UniqueHandle thread;
  // The handle goes at once: the thread is never joined.
  return CreateRunningThread(routine, argument, thread);
}

struct JoinableThread::State {
  UniqueHandle thread;
};

JoinableThread::JoinableThread() : state_(std::make_unique<State>()) {}

JoinableThread::~JoinableThread() {
  Join();
}

Win32Error JoinableThread::Start(ThreadRoutine routine, void* argument) {
  if (state_->thread.Valid()) return ERROR_INVALID_FUNCTION;
  return CreateRunningThread(routine, argument, state_->thread);
}

bool JoinableThread::IsStarted() const {
  return state_->thread.Valid();
}

void JoinableThread::Join() {
  if (!state_->thread.Valid()) return;
  ::WaitForSingleObject(state_->thread.Get(), INFINITE);
  state_->thread.Reset();
}

// The blocks live in one allocation from a heap of the pool's own (HeapCreate), made at the
// first Create and kept until the process ends: a transfer thread may free its record after
// the listener destroyed the pool, and that late free must touch nothing released.
struct PrivateHeap::State {
  CriticalSection lock;
  CONDITION_VARIABLE freed = CONDITION_VARIABLE_INIT;
  HANDLE heap = nullptr;
  std::byte* storage = nullptr;
  std::vector<bool> inUse;
  std::size_t blockSize = 0;
  bool exists = false;
};

PrivateHeap::PrivateHeap() : state_(std::make_unique<State>()) {}

PrivateHeap::~PrivateHeap() = default;

Win32Error PrivateHeap::Create(std::size_t initialSize, std::size_t maximumSize,
                               std::size_t blockSize) {
  CriticalSectionLock lock(state_->lock);
  if (blockSize == 0 || initialSize > maximumSize || maximumSize / blockSize == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::size_t capacity = maximumSize / blockSize;
  if (state_->storage == nullptr || state_->blockSize != blockSize ||
      state_->inUse.size() != capacity) {
    if (state_->heap == nullptr) {
      // Growable, so that the pool's one block fits whatever the heap's own bookkeeping takes.
      state_->heap = ::HeapCreate(0, initialSize, 0);
      if (state_->heap == nullptr) return ::GetLastError();
    }
    void* storage = ::HeapAlloc(state_->heap, 0, capacity * blockSize);
    if (storage == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    // An earlier pool of another shape may still be freed into: it stays where it is.
    state_->storage = static_cast<std::byte*>(storage);
    state_->blockSize = blockSize;
    state_->inUse.assign(capacity, false);
  }
  state_->exists = true;
  return ERROR_SUCCESS;
}

bool PrivateHeap::Exists() const {
  CriticalSectionLock lock(state_->lock);
  return state_->exists;
}

void* PrivateHeap::Allocate() {
  CriticalSectionLock lock(state_->lock);
  if (!state_->exists) return nullptr;
  for (std::size_t i = 0; i < state_->inUse.size(); ++i) {
    if (!state_->inUse[i]) {
      state_->inUse[i] = true;
      return state_->storage + i * state_->blockSize;
    }
  }
  return nullptr;
}

void PrivateHeap::WaitForRoom() {
  CriticalSectionLock lock(state_->lock);
  for (;;) {
    if (!state_->exists) return;
    for (bool used : state_->inUse) {
      if (!used) return;
    }
    ::SleepConditionVariableCS(&state_->freed, state_->lock.Native(), INFINITE);
  }
}

bool PrivateHeap::Free(void* block) {
  CriticalSectionLock lock(state_->lock);
  if (state_->storage == nullptr || block == nullptr) return false;
  const std::byte* begin = state_->storage;
  const auto* p = static_cast<const std::byte*>(block);
  if (p < begin || p >= begin + state_->inUse.size() * state_->blockSize) return false;
  const auto offset = static_cast<std::size_t>(p - begin);
  if (offset % state_->blockSize != 0) return false;
  const std::size_t index = offset / state_->blockSize;
  if (!state_->inUse[index]) return false;
  state_->inUse[index] = false;
  ::WakeConditionVariable(&state_->freed);
  return true;
}

void PrivateHeap::Destroy() {
  CriticalSectionLock lock(state_->lock);
  state_->exists = false;
  ::WakeAllConditionVariable(&state_->freed);
}

std::size_t PrivateHeap::Capacity() const {
  CriticalSectionLock lock(state_->lock);
  return state_->inUse.size();
}

void ReleaseFreeHeapMemory() {
  ::_heapmin();
}

LocalTime GetLocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace quoril::platform
