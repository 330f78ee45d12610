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

// Compares without regard to the case of ASCII letters; `name` is in lower case.
bool SwitchIs(const char* argument, const char* name) {
  for (; *argument != '\0' && *name != '\0'; ++argument, ++name) {
    if (quoril::platform::LowerAscii(*argument) != *name) return false;
  }
  return *argument == *name;
}

void Print(const char* text) {
  std::fputs(text, stdout);
}

// The manager as -install and -remove open it; a manager that cannot be opened stays
// closed, and the operation then fails.
ServiceManager OpenManager() {
  ServiceManager manager;
  manager.Open(quoril::platform::kScManagerAllAccess);
  return manager;
}

int Install() {
  ServiceManager manager = OpenManager();
  const int installed = quoril::InstallService(manager);
  manager.Close();
  if (!installed) {
    Print("Error installing the Quoril service\n");
    return 1;
  }
  Print("Quoril service successfully installed\r\n\r\n");
  Print("Remember to copy the QUORLD.CPL file into your system32 directory.\r\n");
  return 0;
}

int Remove() {
  ServiceManager manager = OpenManager();
  const int removed = quoril::RemoveService(manager);
  manager.Close();
  if (!removed) {
    Print("Error removing the Quoril service\n");
    return 1;
  }
  Print("Quoril service successfully removed\r\n\r\n");
  Print("Remember to remove the QUORLD.CPL file from your system32 directory.\r\n");
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
  if (SwitchIs(argument, "-install")) return Install();
  if (SwitchIs(argument, "-remove")) return Remove();
  if (SwitchIs(argument, "-version")) return Version();
  if (SwitchIs(argument, "-debug")) return Debug();
  return Usage();
}
