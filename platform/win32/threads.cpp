// Threads, the heap's trim and the local clock, over the Win32 calls.
#include "platform/threads.h"

#include "platform/win32/windows_headers.h"

#include <malloc.h>

#include <memory>

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

void ReleaseFreeHeapMemory() {
  ::_heapmin();
}

LocalTime GetLocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace quoril::platform
