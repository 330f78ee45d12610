// The service control manager: installing and removing a service, the dispatcher that a
// service process hands its main thread to, control handlers and status reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/win32_error.h"

namespace quoril::platform {

// SERVICE_STATUS values.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceAcceptPauseContinue = 2;

// Control codes handed to a control handler.
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;

// Access rights and CreateServiceA parameters.
inline constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

// A handle to the service control manager (OpenSCManagerA). Closed on destruction
// (CloseServiceHandle); move-only.
class ServiceManager {
 public:
  ServiceManager();
  ~ServiceManager();
  ServiceManager(ServiceManager&& other) noexcept;
  ServiceManager& operator=(ServiceManager&& other) noexcept;
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // OpenSCManagerA on the local machine's active database. Fails as for a user without
  // rights when the service definitions cannot be changed.
  Win32Error Open(std::uint32_t access);
  bool IsOpen() const { return state_ != nullptr; }
  void Close();

 private:
  friend class Service;
  struct State;
  std::unique_ptr<State> state_;
};

// What CreateServiceA is given. No load-order group, tag, dependencies, account or
// password: on Windows the service runs as the local system account; the systemd backend
// runs it as an unprivileged system account of its own, made when missing.
struct ServiceDefinition {
  const char* serviceName;
  const char* displayName;
  std::uint32_t access;
  std::uint32_t serviceType;
  std::uint32_t startType;
  std::uint32_t errorControl;
  const char* binaryPath;  // the program to start, without arguments
};

// A handle to one service (CreateServiceA, OpenServiceA). Closed on destruction; move-only.
class Service {
 public:
  Service();
  ~Service();
  Service(Service&& other) noexcept;
  Service& operator=(Service&& other) noexcept;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // CreateServiceA: fails with ERROR_SERVICE_EXISTS when a service of that name exists, and
  // with ERROR_INVALID_SERVICE_ACCOUNT when the service's own account cannot be made.
  Win32Error Create(const ServiceManager& manager, const ServiceDefinition& definition);
  // OpenServiceA: fails with ERROR_SERVICE_DOES_NOT_EXIST when there is none.
  Win32Error Open(const ServiceManager& manager, const char* serviceName, std::uint32_t access);
  // DeleteService: the service goes once it has stopped; the handle stays open. An account
  // that installation made for the service goes with it.
  Win32Error Delete();
  bool IsOpen() const { return state_ != nullptr; }
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// How the service's default directory follows from the executable's full path.
enum class ModuleDirectoryRule {
  kDropFileName,          // the directory that holds the file, whatever its name
  kDropTenCharacterName,  // the path less its last 11 characters, a separator and an 8.3 name
};
// The rule of this platform.
ModuleDirectoryRule PlatformModuleDirectoryRule();

// ---- The service process ----

// SERVICE_STATUS.
struct ServiceStatusRecord {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// SERVICE_STATUS_HANDLE: not closed by its owner. kNoStatusHandle is the failed
// registration, and every report through it is refused.
using ServiceStatusHandle = std::uintptr_t;
inline constexpr ServiceStatusHandle kNoStatusHandle = 0;

using ServiceMainProcedure = void (*)(std::uint32_t argumentCount, char** arguments);
using ServiceControlHandler = void (*)(std::uint32_t control);

// SERVICE_TABLE_ENTRYA; the table ends with an entry whose name and procedure are null.
struct ServiceTableEntry {
  const char* serviceName;
  ServiceMainProcedure procedure;
};

// StartServiceCtrlDispatcherA: runs the first entry's procedure on a thread of its own and
// hands each control to the handler it registers, on the calling thread; returns once the
// procedure has returned. Fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in a
// process that the service manager did not start. Call before any other thread starts.
// A control that the service does not accept yet (start pending) is held and handed over
// once the service accepts controls; controls that come after the stopped report are
// dropped.
Win32Error StartServiceCtrlDispatcher(std::span<const ServiceTableEntry> table);

// RegisterServiceCtrlHandlerA, from the service's main procedure.
ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceControlHandler handler);

// SetServiceStatus: a report that cannot be delivered is refused.
Win32Error SetServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status);

// In a process that runs as a service, what the service manager's confinement of the
// service does to `path`, in words (systemd's sandbox hides some directories); empty
// elsewhere, and where the manager confines nothing.
std::string ServiceSandboxNote(const char* path);

}  // namespace quoril::platform
