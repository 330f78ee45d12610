// Everything the running server shares: its settings, its addresses and port-69 sockets, the
// requests in hand-over and the gates every request passes. The start builds one and hands it,
// by reference, to the engine and through it to every session.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>

#include "config/server_config.h"
#include "observe/metrics.h"
#include "platform/threads.h"
#include "tftp/admission/client_turns.h"
#include "tftp/admission/single_port.h"
#include "tftp/admission/transfer_limit.h"
#include "tftp/admission/transfer_ports.h"
#include "tftp/admission/waker.h"
#include "tftp/names/rewrite_rules.h"
#include "tftp/state/request_record.h"
#include "tftp/state/service_controls.h"

namespace quoril {

// Written by the listener during start-up only, before any transfer exists (each gate then
// guards itself); never destroyed, since a transfer thread still running while the process
// ends may yet free its record and leave its gates.
struct ServerState {
  ServerConfig config;
  LocalAddressTable local;
  ServiceControls controls;
  platform::PrivateHeap requestHeap;
  TransferLimit limit;
  ClientTurns turns;
  TransferPorts ports;
  EndpointTable endpoints;
  RewriteRules rewriteRules;
  // The stop's cancel of every thread's wait at a gate.
  WaitCancel cancel;
  // What a scrape of MetricsAddress reports; counted by the sessions and gates (atomics).
  Metrics metrics;
  // Of the transfers counted running, the writes that linger after their final ACK
  // (DallyAfterWrite): a stop does not wait for them.
  std::atomic<std::int32_t> dallying{0};
};

// Whether each transfer claims its client's endpoint in `endpoints`: single-port mode routes by
// it, and IgnoreRequestCopies tells a copy of a running transfer's request by it.
inline bool ClaimsEndpoints(const ServerConfig& config) {
  return config.SinglePort != 0 || config.IgnoreRequestCopies != 0;
}

// Since when a request that arrived at `arrived` counts as waiting: its arrival, or the last
// continue when it came while paused (a pause holds requests for as long as it lasts: they are
// served on continue).
inline std::chrono::steady_clock::time_point WaitingSince(
    const ServerState& server, std::chrono::steady_clock::time_point arrived) {
  return std::max(arrived, server.controls.Now().released);
}

// A request that waited longer than the server's Timeout since it arrived (or since the last
// continue, for one that came while paused), on port 69 or held at the bound, is let go
// unanswered: its client has asked again (from a port of its own, perhaps) or given up by then.
// Every caller lets an expired request go: it counts as refused at the bound.
inline bool RequestExpired(ServerState& server, std::chrono::steady_clock::time_point arrived) {
  const auto now = std::chrono::steady_clock::now();
  const auto timeout = std::chrono::seconds(server.config.Timeout);
  // Younger than Timeout since it arrived, it is younger still since a later continue: the
  // controls' lock is taken only for the old ones.
  if (now - arrived <= timeout) return false;
  const bool expired = now - WaitingSince(server, arrived) > timeout;
  if (expired) CountRequestExpired(server.metrics);
  return expired;
}

}  // namespace quoril
