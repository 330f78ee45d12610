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

}  // namespace

Win32Error StartDetachedThread(ThreadRoutine routine, void* argument) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{routine, argument});
  DWORD id = 0;
  // The handle goes at once: the thread is never joined. It owns `start` once it exists.
  const UniqueHandle thread(::CreateThread(nullptr, 0, RunThread, start.get(), 0, &id));
  if (!thread.Valid()) return ::GetLastError();
  start.release();
  return ERROR_SUCCESS;
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
