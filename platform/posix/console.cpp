#include "platform/console.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace quoril::platform {

void WatchConsoleStop(void (*onStop)()) {
  // Blocked in every thread that starts after this, so that only the watcher takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals, onStop] {
    int taken = 0;
    // One stop is all the server needs; further signals are taken and ignored.
    bool stopped = false;
    while (sigwait(&signals, &taken) == 0) {
      if (!stopped) {
        stopped = true;
        onStop();
      }
    }
  }).detach();
}

}  // namespace quoril::platform
