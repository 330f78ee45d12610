// The service control manager on systemd: a service is a unit file of type notify under the
// system root, controls arrive as signals, and status reports are notification datagrams.
#include "platform/service_manager.h"

#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/error_mapping.h"
#include "platform/posix/service_account.h"
#include "platform/posix/service_texts.h"
#include "platform/posix/system_root.h"

namespace quoril::platform {

namespace {

constexpr char kUnitDirectory[] = "etc/systemd/system";

// Under the real root with systemd as init, the manager learns of changed units only when
// told; elsewhere (a test's root, another init) there is nobody to tell.
void ReloadServiceDefinitions() {
  if (SystemRootPath("") != "/") return;
  struct stat info {};
  if (::stat("/run/systemd/system", &info) != 0 || !S_ISDIR(info.st_mode)) return;
  RunSystemProgram({"systemctl", "daemon-reload"});
}

}  // namespace

// ---- The manager and its services ----

struct ServiceManager::State {
  std::string directory;  // where the unit files live
};

ServiceManager::ServiceManager() = default;
ServiceManager::~ServiceManager() = default;
ServiceManager::ServiceManager(ServiceManager&& other) noexcept = default;
ServiceManager& ServiceManager::operator=(ServiceManager&& other) noexcept = default;

Win32Error ServiceManager::Open(std::uint32_t /*access*/) {
  Close();
  std::string directory = SystemRootPath(kUnitDirectory);
  if (const Win32Error error = MakeSystemDirectory(kUnitDirectory, 0755); error != ERROR_SUCCESS) {
    return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED
                                                                          : error;
  }
  if (::access(directory.c_str(), W_OK | X_OK) != 0) return ERROR_ACCESS_DENIED;
  state_ = std::make_unique<State>();
  state_->directory = std::move(directory);
  return ERROR_SUCCESS;
}

void ServiceManager::Close() {
  state_.reset();
}

struct Service::State {
  std::string unitPath;
  std::string account;  // empty when the service's name makes no account name
  bool deleted = false;
};

Service::Service() = default;
Service::~Service() = default;
Service::Service(Service&& other) noexcept = default;
Service& Service::operator=(Service&& other) noexcept = default;

Win32Error Service::Create(const ServiceManager& manager, const ServiceDefinition& definition) {
  Close();
  if (!manager.IsOpen()) return ERROR_INVALID_HANDLE;
  std::string fileName;
  if (const Win32Error error = ServiceUnitFileName(definition.serviceName, fileName);
      error != ERROR_SUCCESS) {
    return error;
  }
  std::string text;
  if (const Win32Error error = ServiceUnitText(definition, text); error != ERROR_SUCCESS) {
    return error;
  }
  std::string account;
  if (const Win32Error error = ServiceAccountName(definition.serviceName, account);
      error != ERROR_SUCCESS) {
    return error;
  }
  std::string unitPath = manager.state_->directory + "/" + fileName;
  // Never over an existing unit: of two installers only one gets the name.
  if (const int error = WriteFileInOneStep(unitPath, text, 0644, false); error != 0) {
    return error == EEXIST ? ERROR_SERVICE_EXISTS : Win32ErrorFromErrno(error, unitPath.c_str());
  }
  // The unit first, so that a second installation fails before it touches any account; a
  // unit whose account cannot be made would never start, and goes again.
  if (const Win32Error accountError = EnsureServiceAccount(account);
      accountError != ERROR_SUCCESS) {
    ::unlink(unitPath.c_str());
    return accountError;
  }
  ReloadServiceDefinitions();
  state_ = std::make_unique<State>();
  state_->unitPath = std::move(unitPath);
  state_->account = std::move(account);
  return ERROR_SUCCESS;
}

Win32Error Service::Open(const ServiceManager& manager, const char* serviceName,
                         std::uint32_t /*access*/) {
  Close();
  if (!manager.IsOpen()) return ERROR_INVALID_HANDLE;
  std::string fileName;
  if (const Win32Error error = ServiceUnitFileName(serviceName, fileName); error != ERROR_SUCCESS) {
    return error;
  }
  std::string unitPath = manager.state_->directory + "/" + fileName;
  struct stat info {};
  if (::lstat(unitPath.c_str(), &info) != 0) {
    return errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : Win32ErrorFromErrno(errno);
  }
  if (!S_ISREG(info.st_mode)) return ERROR_SERVICE_DOES_NOT_EXIST;
  state_ = std::make_unique<State>();
  state_->unitPath = std::move(unitPath);
  if (ServiceAccountName(serviceName, state_->account) != ERROR_SUCCESS) state_->account.clear();
  return ERROR_SUCCESS;
}

Win32Error Service::Delete() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (state_->deleted) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (::unlink(state_->unitPath.c_str()) != 0) {
    return errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : Win32ErrorFromErrno(errno);
  }
  state_->deleted = true;
  ReloadServiceDefinitions();
  // The service is gone whatever becomes of its account: one that is still in use (the
  // service not stopped yet) stays, and so does the record that installation made it.
  if (!state_->account.empty()) RemoveServiceAccount(state_->account);
  return ERROR_SUCCESS;
}

void Service::Close() {
  state_.reset();
}

ModuleDirectoryRule PlatformModuleDirectoryRule() {
  return ModuleDirectoryRule::kDropFileName;
}

// ---- The dispatcher ----

namespace {

constexpr ServiceStatusHandle kTheStatusHandle = 1;
constexpr std::size_t kMaxHeldControls = 16;

// The dispatcher of this process. Its mutex guards every member; the dispatching thread
// hands controls to the handler with the mutex released.
struct Dispatcher {
  std::mutex mutex;
  bool active = false;  // between the dispatcher's start and its return
  pthread_t thread{};   // the dispatching thread, the one that takes the signals
  int notifyFd = -1;
  sockaddr_un notifyAddress{};
  socklen_t notifyAddressLength = 0;
  ServiceControlHandler handler = nullptr;
  std::uint32_t state = 0;  // as last reported and accepted
  std::uint32_t controlsAccepted = 0;
  bool procedureReturned = false;
  std::deque<std::uint32_t> held;  // controls not handed over yet, oldest first
};

Dispatcher gDispatcher;

// Wakes the dispatching thread to look at the held controls and at the procedure's end.
int WakeSignal() {
  return SIGRTMIN;
}

void WakeDispatcher(const Dispatcher& dispatcher) {
  ::pthread_kill(dispatcher.thread, WakeSignal());
}

std::uint32_t ControlOfSignal(int signal) {
  return signal == SIGTERM   ? kServiceControlStop
         : signal == SIGUSR1 ? kServiceControlPause
         : signal == SIGUSR2 ? kServiceControlContinue
                             : kServiceControlInterrogate;
}

enum class Disposition { kHandOver, kHold, kDrop };

// What the service manager does with a control in the service's present state: none is
// sent before the service accepts controls (held here, since systemd sends a signal once
// and does not ask again), and none once it stops.
Disposition DispositionOf(const Dispatcher& dispatcher, std::uint32_t control) {
  if (dispatcher.state == kServiceStopped || dispatcher.state == kServiceStopPending) {
    return Disposition::kDrop;
  }
  if (dispatcher.handler == nullptr || dispatcher.state == 0 ||
      dispatcher.state == kServiceStartPending) {
    return Disposition::kHold;
  }
  // Interrogate is always accepted.
  const std::uint32_t needed = control == kServiceControlStop ? kServiceAcceptStop
                               : control == kServiceControlInterrogate
                                   ? 0
                                   : kServiceAcceptPauseContinue;
  return (dispatcher.controlsAccepted & needed) == needed ? Disposition::kHandOver
                                                          : Disposition::kHold;
}

// Hands over the held controls in their order, as far as the service takes them now.
void HandOverHeldControls(Dispatcher& dispatcher) {
  std::unique_lock lock(dispatcher.mutex);
  while (!dispatcher.held.empty() && !dispatcher.procedureReturned) {
    const std::uint32_t control = dispatcher.held.front();
    const Disposition disposition = DispositionOf(dispatcher, control);
    if (disposition == Disposition::kHold) break;
    dispatcher.held.pop_front();
    if (disposition == Disposition::kDrop) continue;
    const ServiceControlHandler handler = dispatcher.handler;
    lock.unlock();
    handler(control);
    lock.lock();
  }
}

void EndDispatching(Dispatcher& dispatcher) {
  std::lock_guard lock(dispatcher.mutex);
  ::close(dispatcher.notifyFd);
  dispatcher.notifyFd = -1;
  dispatcher.handler = nullptr;
  dispatcher.held.clear();
  dispatcher.active = false;
}

Win32Error ConnectNotifySocket(Dispatcher& dispatcher) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
    return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  }
  const std::size_t length = std::strlen(name);
  if (length < 2 || length >= sizeof dispatcher.notifyAddress.sun_path) {
    return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  }
  dispatcher.notifyAddress = sockaddr_un{};
  dispatcher.notifyAddress.sun_family = AF_UNIX;
  std::memcpy(dispatcher.notifyAddress.sun_path, name, length);
  // '@' names the abstract namespace, whose names begin with a zero byte and are not
  // terminated.
  if (name[0] == '@') dispatcher.notifyAddress.sun_path[0] = '\0';
  dispatcher.notifyAddressLength =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));
  dispatcher.notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (dispatcher.notifyFd < 0) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  return ERROR_SUCCESS;
}

}  // namespace

Win32Error StartServiceCtrlDispatcher(std::span<const ServiceTableEntry> table) {
  if (table.empty() || table[0].serviceName == nullptr || table[0].procedure == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  Dispatcher& dispatcher = gDispatcher;
  {
    std::lock_guard lock(dispatcher.mutex);
    if (dispatcher.active) return ERROR_INVALID_FUNCTION;
    if (const Win32Error error = ConnectNotifySocket(dispatcher); error != ERROR_SUCCESS) {
      return error;
    }
    dispatcher.active = true;
    dispatcher.thread = ::pthread_self();
    dispatcher.handler = nullptr;
    dispatcher.state = 0;
    dispatcher.controlsAccepted = 0;
    dispatcher.procedureReturned = false;
    dispatcher.held.clear();
  }

  // Blocked here before the service's thread exists, so that every thread inherits the
  // mask and only this one takes the signals.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGUSR1, SIGUSR2, SIGHUP, WakeSignal()}) {
    sigaddset(&signals, signal);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // The procedure gets the service's name as its one argument, as on Windows.
  std::string name(table[0].serviceName);
  std::array<char*, 2> arguments{name.data(), nullptr};
  const ServiceMainProcedure procedure = table[0].procedure;
  std::thread serviceThread;
  try {
    serviceThread = std::thread([procedure, &arguments] {
      procedure(1, arguments.data());
      std::lock_guard lock(gDispatcher.mutex);
      gDispatcher.procedureReturned = true;
      WakeDispatcher(gDispatcher);
    });
  } catch (const std::system_error&) {
    EndDispatching(dispatcher);
    return ERROR_NOT_ENOUGH_MEMORY;
  }

  for (;;) {
    int taken = 0;
    if (sigwait(&signals, &taken) != 0) continue;
    {
      std::lock_guard lock(dispatcher.mutex);
      if (dispatcher.procedureReturned) break;
      if (taken != WakeSignal() && dispatcher.held.size() < kMaxHeldControls) {
        dispatcher.held.push_back(ControlOfSignal(taken));
      }
    }
    HandOverHeldControls(dispatcher);
  }
  serviceThread.join();
  EndDispatching(dispatcher);
  return ERROR_SUCCESS;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceControlHandler handler) {
  Dispatcher& dispatcher = gDispatcher;
  std::lock_guard lock(dispatcher.mutex);
  if (!dispatcher.active || serviceName == nullptr || handler == nullptr) return kNoStatusHandle;
  dispatcher.handler = handler;
  if (!dispatcher.held.empty()) WakeDispatcher(dispatcher);
  return kTheStatusHandle;
}

Win32Error SetServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status) {
  const std::string text = ServiceNotificationText(status);
  Dispatcher& dispatcher = gDispatcher;
  std::lock_guard lock(dispatcher.mutex);
  if (!dispatcher.active || handle != kTheStatusHandle || dispatcher.notifyFd < 0) {
    return ERROR_INVALID_HANDLE;
  }
  const ssize_t sent = ::sendto(dispatcher.notifyFd, text.data(), text.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&dispatcher.notifyAddress),
                                dispatcher.notifyAddressLength);
  if (sent != static_cast<ssize_t>(text.size())) {
    return sent < 0 ? Win32ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
  }
  dispatcher.state = status.currentState;
  dispatcher.controlsAccepted = status.controlsAccepted;
  if (!dispatcher.held.empty()) WakeDispatcher(dispatcher);
  return ERROR_SUCCESS;
}

std::string ServiceSandboxNote(const char* path) {
  {
    std::lock_guard lock(gDispatcher.mutex);
    if (!gDispatcher.active) return "";
  }
  return path != nullptr ? SandboxNote(path) : "";
}

}  // namespace quoril::platform
