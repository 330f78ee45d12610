// Service control: the service's entry procedure, its one status record and the handler of
// stop, pause and continue.
#pragma once

#include <cstdint>

namespace quoril {

inline constexpr const char* kServiceName = "Quoril";

// The entry procedure that the dispatcher runs on a thread of its own; the arguments are
// not used. Reports start pending; running is the listener's report, once its port-69
// sockets are bound. Returns once the service has stopped (with the event of the failure
// that ended the listener as its service-specific exit code), or at once when a report of
// its start is refused.
void ServiceMain(std::uint32_t argumentCount, char** arguments);

// Runs the listener in this thread until the stop (console mode).
void RunServer();

// Whether the service's last report was a stop with a failure: the process then ends with a
// failure of its own, which is what systemd judges a service by.
bool ServiceFailed();

// Returns once no stop handling runs, so that the process never ends under one.
void AwaitStopHandling();

// The control handler: 1 stop, 2 pause, 3 continue; every other control reports the
// current state. Console mode runs the stop from its stop watcher.
void ControlHandler(std::uint32_t control);

}  // namespace quoril
