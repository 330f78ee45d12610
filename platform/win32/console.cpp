// Console mode on Windows: Ctrl-C, Ctrl-Break and the closing of the console reach the
// server as a stop.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win32/windows_headers.h"

#include <atomic>
#include <cstdio>

namespace quoril::platform {

namespace {

// The console texts carry their own line ends, "\r\n" or a lone "\n", byte for byte; text
// mode would make every "\n" a "\r\n" (and "\r\n" a "\r\r\n"). Set before main() runs: this
// file is linked into every executable whose entry offers console mode.
[[maybe_unused]] const int gStandardOutputMode = _setmode(_fileno(stdout), _O_BINARY);

// How long the handler of a closing console or an ending session keeps the process alive
// for the shutdown to write its stop banner and event; the system ends the process after it.
constexpr DWORD kClosingGrace = 4000;

std::atomic<void (*)()> gOnStop{nullptr};
std::atomic<bool> gStopped{false};

BOOL WINAPI ConsoleControl(DWORD event) {
  // One stop is all the server needs; later events are taken and ignored.
  if (!gStopped.exchange(true)) {
    if (void (*onStop)() = gOnStop.load()) onStop();
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    ::Sleep(kClosingGrace);
  }
  return TRUE;
}

}  // namespace

void WatchConsoleStop(void (*onStop)()) {
  gOnStop.store(onStop);
  // The system calls the handler on a thread of its own.
  ::SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

}  // namespace quoril::platform
