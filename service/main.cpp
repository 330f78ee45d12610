// The process entry: chooses from the first argument what the executable does.
#include <array>
#include <cstdio>

#include "platform/console.h"
#include "platform/service_manager.h"
#include "platform/strings.h"
#include "service/install.h"
#include "service/service_control.h"

namespace {

using quoril::platform::ServiceManager;

void Print(const char* text) {
  std::fputs(text, stdout);
}

// -install and -remove: `change` with the manager, then what it did. A manager that cannot be
// opened stays closed, and the change then fails.
int ChangeService(int (*change)(const ServiceManager&), const char* failed, const char* done,
                  const char* reminder) {
  ServiceManager manager;
  manager.Open(quoril::platform::kScManagerAllAccess);
  const int changed = change(manager);
  manager.Close();
  if (!changed) {
    Print(failed);
    return 1;
  }
  Print(done);
  Print(reminder);
  return 0;
}

int Version() {
  Print("Quoril TFTP service version 1.0\n");
  Print("Copyright (c) 2026 The Quoril developers\n");
  return 0;
}

// Ctrl-C and SIGTERM end console mode as the stop control ends the service.
void StopFromConsole() {
  quoril::ControlHandler(quoril::platform::kServiceControlStop);
}

int Debug() {
  quoril::platform::WatchConsoleStop(StopFromConsole);
  quoril::RunServer();
  quoril::AwaitStopHandling();
  return 0;
}

int Usage() {
  Print("\nQuoril service command line switches:\n\n");
  Print("-install\n");
  Print("-remove\n");
  Print("-version\n");
  return 0;
}

int RunService() {
  // Unqualified: on Windows the error values are the system headers' macros.
  using namespace quoril;
  const std::array<platform::ServiceTableEntry, 2> dispatchTable{{
      {"TFTP Service", ServiceMain},
      {nullptr, nullptr},
  }};
  if (platform::StartServiceCtrlDispatcher(dispatchTable) != ERROR_SUCCESS) return 1;
  return ServiceFailed() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return RunService();
  const char* argument = argv[1];
  // Switches ignore the case of ASCII letters.
  const auto is = [argument](const char* name) {
    return quoril::platform::EqualIgnoringAsciiCase(argument, name);
  };
  if (is("-install")) {
    return ChangeService(quoril::InstallService, "Error installing the Quoril service\n",
                         "Quoril service successfully installed\r\n\r\n",
                         "Remember to copy the QUORLD.CPL file into your system32 directory.\r\n");
  }
  if (is("-remove")) {
    return ChangeService(
        quoril::RemoveService, "Error removing the Quoril service\n",
        "Quoril service successfully removed\r\n\r\n",
        "Remember to remove the QUORLD.CPL file from your system32 directory.\r\n");
  }
  if (is("-version")) return Version();
  if (is("-debug")) return Debug();
  return Usage();
}
