#include "service/service_control.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/service_manager.h"
#include "platform/threads.h"
#include "tftp/listener.h"

namespace quoril {

namespace {

// The process's one status record with its status handle. Filled and sent only by
// StatusReporter (and the control handler's reports of the current state), under `lock`,
// from the service thread, the dispatcher's thread and the listener thread.
struct ServiceStatus {
  std::mutex lock;
  platform::ServiceStatusHandle handle = platform::kNoStatusHandle;
  platform::ServiceStatusRecord record;
} gServiceStatus;

// A manual-reset event without a name: once set it stays set. It carries the event of the
// failure that ended the listener (0: a stop ended it).
class StopEvent {
 public:
  void Set(std::uint32_t failureEvent) {
    std::lock_guard lock(mutex_);
    failureEvent_ = failureEvent;
    isSet_ = true;
    set_.notify_all();
  }
  std::uint32_t Wait() {
    std::unique_lock lock(mutex_);
    set_.wait(lock, [this] { return isSet_; });
    return failureEvent_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable set_;
  bool isSet_ = false;
  std::uint32_t failureEvent_ = 0;
};

inline constexpr std::uint32_t kControlsAccepted =
    platform::kServiceAcceptStop | platform::kServiceAcceptPauseContinue;

// Set while the stop handling runs. Its reports are refused wherever there is no status
// handle (console mode, a failed registration), and a refused report runs the stop
// handling: a second entry would only repeat it, without end.
std::mutex gStopHandlingLock;
std::condition_variable gStopHandlingDone;
bool gStopHandlingRuns = false;

// The StopEvent of the running ServiceMain, for the listener to set as its last act.
std::mutex gStopEventLock;
StopEvent* gRunningStopEvent = nullptr;

// The server of this process, started by the listener, paused and stopped from here. Never
// destroyed: a transfer thread may still end while the process exits.
ServerState& Server() {
  alignas(ServerState) static unsigned char storage[sizeof(ServerState)];
  static ServerState* const server = ::new (storage) ServerState();
  return *server;
}

void RunListener(void* /*argument*/) {
  Listener(Server());
}

void SetStopEvent(std::uint32_t failureEvent) {
  std::lock_guard lock(gStopEventLock);
  if (gRunningStopEvent != nullptr) gRunningStopEvent->Set(failureEvent);
}

// Fills the record and sends it; the caller holds gServiceStatus.lock, so that two reports
// never mix and a decision on the current state holds until its report is sent.
bool FillAndSendLocked(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                       std::uint32_t waitHint) {
  platform::ServiceStatusRecord& record = gServiceStatus.record;
  record.controlsAccepted = state == platform::kServiceStartPending ? 0 : kControlsAccepted;
  record.currentState = state;
  record.win32ExitCode = exitCode;
  record.checkPoint = checkPoint;
  record.waitHint = waitHint;
  return platform::SetServiceStatus(gServiceStatus.handle, record) == ERROR_SUCCESS;
}

int StatusReporter(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                   std::uint32_t waitHint);

void HandleStop() {
  {
    std::lock_guard lock(gStopHandlingLock);
    if (gStopHandlingRuns) return;
    gStopHandlingRuns = true;
  }
  {
    std::lock_guard lock(gServiceStatus.lock);
    // As a continue first: a paused service stops as a running one does.
    if (gServiceStatus.record.currentState == platform::kServicePaused) {
      Server().controls.Continue();
    }
  }
  StatusReporter(platform::kServiceStopPending, 0, 1, 6000);
  // Also ends a listener that has not opened its sockets yet: the stop is remembered, and
  // its first look sees it.
  Server().controls.Stop();
  StatusReporter(platform::kServiceStopPending, 0, 0, 0);
  // Notified under the lock: a waiter may return (and the process end) only after it.
  std::lock_guard lock(gStopHandlingLock);
  gStopHandlingRuns = false;
  gStopHandlingDone.notify_all();
}

// The listener's report once it serves; none after a stop handling has begun (from a
// refused report). A refused report runs the stop handling, which ends the listener.
void ReportRunning() {
  bool accepted = true;
  {
    std::lock_guard lock(gServiceStatus.lock);
    if (gServiceStatus.record.currentState != platform::kServiceStartPending) return;
    accepted = FillAndSendLocked(platform::kServiceRunning, 0, 0, 0);
  }
  if (!accepted) HandleStop();
}

// The last report. A listener that a failure ended gives the failure's event as the
// service-specific exit code, so that the manager shows the start (or the service) as failed
// and with which event, instead of as a stop.
void ReportStopped(std::uint32_t failureEvent) {
  {
    std::lock_guard lock(gServiceStatus.lock);
    gServiceStatus.record.serviceSpecificExitCode = failureEvent;
  }
  StatusReporter(platform::kServiceStopped, failureEvent == 0 ? 0 : ERROR_SERVICE_SPECIFIC_ERROR, 0,
                 0);
}

// Pause, continue, interrogate and every other control: at most a change between running
// and paused, then a report of the state.
void HandleOtherControl(std::uint32_t control) {
  bool accepted = false;
  {
    std::lock_guard lock(gServiceStatus.lock);
    std::uint32_t state = gServiceStatus.record.currentState;
    if (control == platform::kServiceControlPause && state == platform::kServiceRunning) {
      Server().controls.Pause();
      state = platform::kServicePaused;
    } else if (control == platform::kServiceControlContinue && state == platform::kServicePaused) {
      Server().controls.Continue();
      state = platform::kServiceRunning;
    }
    accepted = FillAndSendLocked(state, 0, 0, 0);
  }
  if (!accepted) HandleStop();
}

// Reports the service's state; non-zero when the report was accepted. A refused report
// runs the stop handling and answers 0.
int StatusReporter(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                   std::uint32_t waitHint) {
  bool accepted = false;
  {
    std::lock_guard lock(gServiceStatus.lock);
    accepted = FillAndSendLocked(state, exitCode, checkPoint, waitHint);
  }
  if (accepted) return 1;
  HandleStop();
  return 0;
}

}  // namespace

void RunServer() {
  RunListener(nullptr);
}

// The stopped report comes last: a stop handling still on its way to its last report
// finishes first.
void AwaitStopHandling() {
  std::unique_lock lock(gStopHandlingLock);
  gStopHandlingDone.wait(lock, [] { return !gStopHandlingRuns; });
}

bool ServiceFailed() {
  std::lock_guard lock(gServiceStatus.lock);
  return gServiceStatus.record.currentState == platform::kServiceStopped &&
         gServiceStatus.record.win32ExitCode != 0;
}

void ControlHandler(std::uint32_t control) {
  if (control == platform::kServiceControlStop) {
    HandleStop();
  } else {
    HandleOtherControl(control);
  }
}

void ServiceMain(std::uint32_t /*argumentCount*/, char** /*arguments*/) {
  {
    std::lock_guard lock(gServiceStatus.lock);
    gServiceStatus.handle = platform::RegisterServiceCtrlHandler(kServiceName, ControlHandler);
    gServiceStatus.record.serviceType = platform::kServiceWin32OwnProcess;
    gServiceStatus.record.serviceSpecificExitCode = 0;
  }
  if (!StatusReporter(platform::kServiceStartPending, 0, 1, 3000)) return;

  StopEvent stopEvent;
  {
    std::lock_guard lock(gStopEventLock);
    gRunningStopEvent = &stopEvent;
  }
  {
    // Declared after the event, so that it is joined before the event goes: the listener
    // sets the event as its last act.
    platform::JoinableThread listener;
    if (StatusReporter(platform::kServiceStartPending, 0, 2, 3000)) {
      gServiceHooks.statusReporter = StatusReporter;
      gServiceHooks.reportRunning = ReportRunning;
      gServiceHooks.setStopEvent = SetStopEvent;
      // Running is the listener's to report, once it serves.
      if (listener.Start(RunListener, nullptr) == ERROR_SUCCESS) {
        const std::uint32_t failure = stopEvent.Wait();
        // The stopped report lets the manager end the process (wine's ends it as soon as it
        // closes the control pipe): the listener's thread, its EVENT_SERVICE_STOPPED
        // included, has ended before it.
        listener.Join();
        AwaitStopHandling();
        ReportStopped(failure);
      }
    }
  }
  std::lock_guard lock(gStopEventLock);
  gRunningStopEvent = nullptr;
}

}  // namespace quoril
