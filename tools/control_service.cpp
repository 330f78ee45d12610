// control_service: sends one control to an installed service through the service control
// manager and prints the state the service reports, optionally waiting for a given state.
// Windows' own "sc" does the same; wine's has no pause or continue.
//
// Usage: control_service NAME pause|continue|interrogate|stop|query [STATE [SECONDS]]
// Prints "STATE <n> EXIT <win32> <service-specific>" (states 1 stopped, 2 start pending,
// 3 stop pending, 4 running, 7 paused ...) after the control and, with STATE, once the
// service reports that state. Exit code 0; 1
// when the control fails (with the Win32 error), 2 when STATE is not reached in SECONDS
// (default 30).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace {

struct Verb {
  const char* name;
  DWORD control;  // 0: no control, only the query
  DWORD access;
};

constexpr Verb kVerbs[] = {
    {"pause", SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE},
    {"continue", SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE},
    {"interrogate", SERVICE_CONTROL_INTERROGATE, SERVICE_INTERROGATE},
    {"stop", SERVICE_CONTROL_STOP, SERVICE_STOP},
    {"query", 0, 0},
};

struct CloseService {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;

void PrintStatus(const SERVICE_STATUS& status) {
  std::printf("STATE %lu EXIT %lu %lu\n", status.dwCurrentState, status.dwWin32ExitCode,
              status.dwServiceSpecificExitCode);
}

int Fail(const char* call) {
  std::printf("%s failed: %lu\n", call, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Verb* verb = nullptr;
  if (argc >= 3) {
    for (const Verb& candidate : kVerbs) {
      if (std::strcmp(argv[2], candidate.name) == 0) verb = &candidate;
    }
  }
  if (verb == nullptr) {
    std::printf(
        "usage: control_service NAME pause|continue|interrogate|stop|query "
        "[STATE [SECONDS]]\n");
    return 1;
  }
  const DWORD awaited = argc >= 4 ? std::strtoul(argv[3], nullptr, 10) : 0;
  const DWORD seconds = argc >= 5 ? std::strtoul(argv[4], nullptr, 10) : 30;

  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return Fail("OpenSCManagerA");
  ServiceHandle service(OpenServiceA(manager.get(), argv[1], verb->access | SERVICE_QUERY_STATUS));
  if (service.get() == nullptr) return Fail("OpenServiceA");

  SERVICE_STATUS status{};
  if (verb->control != 0) {
    if (!ControlService(service.get(), verb->control, &status)) return Fail("ControlService");
  } else if (!QueryServiceStatus(service.get(), &status)) {
    return Fail("QueryServiceStatus");
  }
  PrintStatus(status);
  if (awaited == 0) return 0;

  const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
  while (status.dwCurrentState != awaited) {
    if (GetTickCount64() >= deadline) {
      std::printf("STATE %lu (not %lu after %lu s)\n", status.dwCurrentState, awaited, seconds);
      return 2;
    }
    Sleep(100);
    if (!QueryServiceStatus(service.get(), &status)) return Fail("QueryServiceStatus");
  }
  PrintStatus(status);
  return 0;
}
