// The listener: start-up, the receive loop on every port-69 socket, hand-over of each
// request to its engine, and shutdown.
#pragma once

#include <cstdint>

#include "tftp/state/server_state.h"

namespace quoril {

// How the listener reaches the service control. ServiceMain sets them before it starts
// the listener; in console mode they stay null: there is no status handle (every report
// is refused) and no StopEvent.
struct ServiceHooks {
  int (*statusReporter)(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                        std::uint32_t waitHint) = nullptr;
  // Once every port-69 socket is bound and the requests are about to be taken: the service
  // runs only from here on, so that a start that cannot serve never looks like one that can.
  void (*reportRunning)() = nullptr;
  // The listener's last act. `failureEvent` is the event of the failure that ended it, 0
  // when a stop did.
  void (*setStopEvent)(std::uint32_t failureEvent) = nullptr;
};
extern ServiceHooks gServiceHooks;

// The settings, then what they set up, in this order: DefaultDirectory becomes the current
// directory, the transfer log opens when logging is on (its name resolves against that
// directory), then the log lock and the start banner on every outcome. Answers 1 or 0.
int SetUpFromSettings(ServerConfig& config);

// The listener's thread routine: starts `server` from the settings, serves until the stop and
// shuts down. `server` is fresh, and outlives every transfer thread (it is never destroyed).
// Answers 0 once the shutdown is complete.
std::uint32_t Listener(ServerState& server);

}  // namespace quoril
