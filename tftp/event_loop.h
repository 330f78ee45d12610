// The event-loop engine: a few loop threads serve every transfer. Each loop waits at once on
// the port-69 sockets, on the sockets of the transfers it serves and on their nearest
// deadline, so that no packet costs a thread switch.
#pragma once

#include <cstdint>

namespace quoril {

// Starts `count` loops over the listener's open port sockets. Answers false, with every
// loop that did start stopped again, when one cannot be started.
bool StartEventLoops(std::uint32_t count);

// For the shutdown, once the port sockets have stopped taking requests: ends every transfer
// still running (without a packet; each writes its log line) and waits for the loops to end.
void StopEventLoops();

}  // namespace quoril
