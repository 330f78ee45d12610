#include "platform/threads.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace quoril::platform {

namespace {

// Hands the pages of the calling thread's stack below its frame back to the system: what a
// transfer touched is dead once it ended, and an idle thread needs only the frames it waits
// in. The page under the frame stays for the calls that follow.
void ReleaseStackBelowFrame() {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return;
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool known = ::pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  ::pthread_attr_destroy(&attributes);
  if (!known) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto from = (reinterpret_cast<std::uintptr_t>(lowest) + page - 1) & ~(page - 1);
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const auto to = (frame & ~(page - 1)) - page;
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

// Threads that have run their routine wait a while for the next one instead of ending, so
// that a new transfer starts on a thread at once without the cost of creating one. Every
// routine still has a thread of its own for as long as it runs.
class IdleThreads {
 public:
  // Never destroyed: idle threads wait on it until the process ends.
  static IdleThreads& Get() {
    alignas(IdleThreads) static unsigned char storage[sizeof(IdleThreads)];
    static IdleThreads* const threads = ::new (storage) IdleThreads();
    return *threads;
  }

  Win32Error Start(ThreadRoutine routine, void* argument) {
    bool queued = false;
    {
      std::lock_guard lock(mutex_);
      if (idle_ > queued_ && queued_ < kQueueSize) {
        queue_[(head_ + queued_) % kQueueSize] = Work{routine, argument};
        ++queued_;
        queued = true;
      }
    }
    if (queued) {
      // Woken after the unlock: a thread woken under the lock would, on a busy processor,
      // run only to block on the lock the starter still holds.
      arrived_.notify_one();
      return ERROR_SUCCESS;
    }
    try {
      std::thread([this, routine, argument] { Run(Work{routine, argument}); }).detach();
      return ERROR_SUCCESS;
    } catch (const std::system_error&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }

 private:
  struct Work {
    ThreadRoutine routine;
    void* argument;
  };
  static constexpr std::size_t kQueueSize = 1024;
  static constexpr std::size_t kMaxIdle = 256;
  static constexpr auto kIdleTime = std::chrono::seconds(30);
  // A thread idle this long is past a burst: beyond the few kept for the next requests it
  // ends, and those kept give their stack's pages and the heap's free memory back while they
  // wait out their idle time.
  static constexpr auto kReleaseAfter = std::chrono::milliseconds(100);
  static constexpr std::size_t kKeptIdle = 16;

  void Run(Work work) {
    for (;;) {
      work.routine(work.argument);
      std::unique_lock lock(mutex_);
      if (idle_ >= kMaxIdle) return;
      ++idle_;
      const auto hasWork = [this] { return queued_ > 0; };
      bool got = arrived_.wait_for(lock, kReleaseAfter, hasWork);
      if (!got && idle_ > kKeptIdle) {
        --idle_;
        return;
      }
      if (!got) {
        // Still counted idle: work queued meanwhile is found by the wait's first look.
        lock.unlock();
        ReleaseStackBelowFrame();
        ReleaseFreeHeapMemory();
        lock.lock();
        got = arrived_.wait_for(lock, kIdleTime - kReleaseAfter, hasWork);
      }
      --idle_;
      if (!got) return;
      work = queue_[head_];
      head_ = (head_ + 1) % kQueueSize;
      --queued_;
    }
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::array<Work, kQueueSize> queue_{};
  std::size_t head_ = 0;
  std::size_t queued_ = 0;
  std::size_t idle_ = 0;
};

}  // namespace

Win32Error StartDetachedThread(ThreadRoutine routine, void* argument) {
  return IdleThreads::Get().Start(routine, argument);
}

void ReleaseFreeHeapMemory() {
  // A sanitizer's allocator stands in for the C library's, whose trim then finds no heap of
  // its own and crashes.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  ::malloc_trim(0);
#endif
}

LocalTime GetLocalTime() {
  // Every request takes the time and the date: each thread converts a given second once.
  thread_local time_t convertedSecond = -1;
  thread_local tm local{};
  const time_t now = ::time(nullptr);
  if (now != convertedSecond) {
    ::localtime_r(&now, &local);
    convertedSecond = now;
  }
  return LocalTime{static_cast<std::uint16_t>(local.tm_year + 1900),
                   static_cast<std::uint16_t>(local.tm_mon + 1),
                   static_cast<std::uint16_t>(local.tm_mday),
                   static_cast<std::uint16_t>(local.tm_hour),
                   static_cast<std::uint16_t>(local.tm_min),
                   static_cast<std::uint16_t>(local.tm_sec)};
}

}  // namespace quoril::platform
