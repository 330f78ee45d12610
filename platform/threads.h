// Threads and the private heap of request records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/win32_error.h"

namespace quoril::platform {

using ThreadRoutine = void (*)(void* argument);

// CreateThread for a thread that is never joined: `routine(argument)` runs at once.
Win32Error StartDetachedThread(ThreadRoutine routine, void* argument);

// A thread that its starter waits for (the listener under the service).
class JoinableThread {
 public:
  JoinableThread();
  ~JoinableThread();  // joins if still running
  JoinableThread(const JoinableThread&) = delete;
  JoinableThread& operator=(const JoinableThread&) = delete;

  Win32Error Start(ThreadRoutine routine, void* argument);
  bool IsStarted() const;
  void Join();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// HeapCreate with an initial and a maximum size, holding blocks of one size: a fixed pool
// of maximumSize / blockSize blocks that never grows. Allocate and Free may be called from
// several threads at once. The storage outlives Destroy, so that a late Free after the
// heap was destroyed is harmless.
class PrivateHeap {
 public:
  PrivateHeap();
  ~PrivateHeap();
  PrivateHeap(const PrivateHeap&) = delete;
  PrivateHeap& operator=(const PrivateHeap&) = delete;

  Win32Error Create(std::size_t initialSize, std::size_t maximumSize, std::size_t blockSize);
  bool Exists() const;
  // A block of blockSize bytes, not cleared; nullptr when the heap is full or destroyed.
  void* Allocate();
  // Waits until a block has been freed or the heap is destroyed (after Allocate failed).
  void WaitForRoom();
  // HeapFree: false for a pointer this heap did not hand out.
  bool Free(void* block);
  void Destroy();
  // How many blocks the heap holds at most.
  std::size_t Capacity() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Hands what the process's heap holds free back to the system, so that the memory of a burst
// of transfers is not kept resident after it.
void ReleaseFreeHeapMemory();

// GetLocalTime.
struct LocalTime {
  std::uint16_t year;
  std::uint16_t month;   // 1 to 12
  std::uint16_t day;     // 1 to 31
  std::uint16_t hour;    // 0 to 23
  std::uint16_t minute;  // 0 to 59
  std::uint16_t second;  // 0 to 59
};
LocalTime GetLocalTime();

}  // namespace quoril::platform
