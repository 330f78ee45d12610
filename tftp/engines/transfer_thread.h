// The thread-per-transfer engine: each transfer on a thread of its own, which waits on its
// transfer's socket (in single-port mode, on its mailbox) until the session's deadline.
#pragma once

#include <cstdint>

#include "tftp/state/server_state.h"

namespace quoril {

enum class ThreadStart : std::uint8_t { kStarted, kRepeated, kNoThread };

// Starts a thread for the request in `record`, which takes it over; in single-port mode the
// listener then feeds it its client's datagrams. Otherwise `record` is left to the caller: the
// request is a late copy of a running transfer's own (EndpointTable::Claim), or no thread
// could be started.
ThreadStart StartTransferThread(ServerState& server, RequestRecord* record);

}  // namespace quoril
