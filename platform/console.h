// Console mode: Ctrl-C and termination requests reach the server as a stop.
#pragma once

namespace quoril::platform {

// Calls `onStop` on a thread of its own when the console asks the process to end (Ctrl-C,
// and SIGTERM on POSIX). Call before any other thread is started.
void WatchConsoleStop(void (*onStop)());

}  // namespace quoril::platform
