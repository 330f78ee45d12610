// The Windows service control manager: installation through OpenSCManagerA, CreateServiceA,
// OpenServiceA and DeleteService; the service process through StartServiceCtrlDispatcherA,
// RegisterServiceCtrlHandlerA and SetServiceStatus.
#include "platform/service_manager.h"

#include "platform/win32/windows_headers.h"

#include <atomic>
#include <cstring>
#include <string>

namespace quoril::platform {

namespace {

// The command line the manager starts: the program's path, quoted when it holds a blank, or
// a path such as C:\Program Files\Quoril\quorld.exe would start C:\Program.exe first.
std::string ProgramCommandLine(const char* path) {
  if (std::strchr(path, ' ') == nullptr && std::strchr(path, '\t') == nullptr) return path;
  return std::string("\"") + path + "\"";
}

}  // namespace

// A handle of the service control manager or of a service. Outside the anonymous namespace:
// the manager's and the service's State derive from it.
struct ServiceHandle {
  SC_HANDLE handle = nullptr;
  ~ServiceHandle() {
    if (handle != nullptr) ::CloseServiceHandle(handle);
  }
};

// ---- The manager and its services ----

struct ServiceManager::State : ServiceHandle {};

ServiceManager::ServiceManager() = default;
ServiceManager::~ServiceManager() = default;
ServiceManager::ServiceManager(ServiceManager&& other) noexcept = default;
ServiceManager& ServiceManager::operator=(ServiceManager&& other) noexcept = default;

Win32Error ServiceManager::Open(std::uint32_t access) {
  Close();
  SC_HANDLE handle = ::OpenSCManagerA(nullptr, nullptr, access);
  if (handle == nullptr) return ::GetLastError();
  state_ = std::make_unique<State>();
  state_->handle = handle;
  return ERROR_SUCCESS;
}

void ServiceManager::Close() {
  state_.reset();
}

struct Service::State : ServiceHandle {};

Service::Service() = default;
Service::~Service() = default;
Service::Service(Service&& other) noexcept = default;
Service& Service::operator=(Service&& other) noexcept = default;

Win32Error Service::Create(const ServiceManager& manager, const ServiceDefinition& definition) {
  Close();
  if (!manager.IsOpen()) return ERROR_INVALID_HANDLE;
  if (definition.binaryPath == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string commandLine = ProgramCommandLine(definition.binaryPath);
  SC_HANDLE handle = ::CreateServiceA(
      manager.state_->handle, definition.serviceName, definition.displayName, definition.access,
      definition.serviceType, definition.startType, definition.errorControl, commandLine.c_str(),
      nullptr, nullptr, nullptr, nullptr, nullptr);
  if (handle == nullptr) return ::GetLastError();
  state_ = std::make_unique<State>();
  state_->handle = handle;
  return ERROR_SUCCESS;
}

Win32Error Service::Open(const ServiceManager& manager, const char* serviceName,
                         std::uint32_t access) {
  Close();
  if (!manager.IsOpen()) return ERROR_INVALID_HANDLE;
  SC_HANDLE handle = ::OpenServiceA(manager.state_->handle, serviceName, access);
  if (handle == nullptr) return ::GetLastError();
  state_ = std::make_unique<State>();
  state_->handle = handle;
  return ERROR_SUCCESS;
}

Win32Error Service::Delete() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (!::DeleteService(state_->handle)) return ::GetLastError();
  return ERROR_SUCCESS;
}

void Service::Close() {
  state_.reset();
}

// The executable is quorld.exe: a separator and ten characters end its path.
ModuleDirectoryRule PlatformModuleDirectoryRule() {
  return ModuleDirectoryRule::kDropTenCharacterName;
}

// ---- The service process ----

namespace {

// A process runs one service (own process), so one procedure and one handler suffice. The
// procedure is set before the dispatcher starts; the handler before the manager can send a
// control.
std::atomic<ServiceMainProcedure> gServiceProcedure{nullptr};
std::atomic<ServiceControlHandler> gControlHandler{nullptr};

void WINAPI ServiceMainEntry(DWORD argumentCount, LPSTR* arguments) {
  if (ServiceMainProcedure procedure = gServiceProcedure.load()) {
    procedure(argumentCount, arguments);
  }
}

void WINAPI ControlEntry(DWORD control) {
  if (ServiceControlHandler handler = gControlHandler.load()) handler(control);
}

}  // namespace

Win32Error StartServiceCtrlDispatcher(std::span<const ServiceTableEntry> table) {
  if (table.empty() || table[0].serviceName == nullptr || table[0].procedure == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  gServiceProcedure.store(table[0].procedure);
  std::string name(table[0].serviceName);
  SERVICE_TABLE_ENTRYA entries[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherA(entries)) return ::GetLastError();
  return ERROR_SUCCESS;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceControlHandler handler) {
  if (serviceName == nullptr || handler == nullptr) return kNoStatusHandle;
  gControlHandler.store(handler);
  SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerA(serviceName, ControlEntry);
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

Win32Error SetServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status) {
  if (handle == kNoStatusHandle) return ERROR_INVALID_HANDLE;
  SERVICE_STATUS record{};
  record.dwServiceType = status.serviceType;
  record.dwCurrentState = status.currentState;
  record.dwControlsAccepted = status.controlsAccepted;
  record.dwWin32ExitCode = status.win32ExitCode;
  record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  record.dwCheckPoint = status.checkPoint;
  record.dwWaitHint = status.waitHint;
  if (!::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record)) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

// The service control manager confines no directory.
std::string ServiceSandboxNote(const char* /*path*/) {
  return "";
}

}  // namespace quoril::platform
