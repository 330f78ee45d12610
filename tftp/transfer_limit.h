// The bound on transfers at once (MaxTransfers). At the bound the listener, or every event
// loop, takes no new datagram until a transfer ends: requests wait in port 69's receive queue,
// so that a flood costs a fixed amount of memory and descriptors and a normal client's request
// is served as soon as there is room, or recovered by its retry.
#pragma once

#include <chrono>
#include <cstdint>

namespace quoril {

// Absent MaxTransfers: about 40 KiB per transfer at most (a thread's stack in use and its
// record), so that a flood stays well within 256 MiB, with room for a burst of 1000 clients.
inline constexpr std::uint32_t kDefaultMaxTransfers = 4096;
// What one transfer may hold open at once: its socket, and for an upload the directory, the
// file it replaces and the new file.
inline constexpr std::uint32_t kHandlesPerTransfer = 4;
// Descriptors kept for everything else: port sockets, event loops, logs, the registry.
inline constexpr std::uint32_t kReservedHandles = 256;

// Sets the bound of this run from gServerConfig.MaxTransfers (0 takes the default), raising
// the process's descriptor limit as far as the system allows; if that is still too low, the
// bound is cut to fit and EVENT_TRANSFERS_LIMITED reported. Called by the listener at start-up,
// before any transfer exists. Answers the bound.
std::uint32_t SetTransferBound();

// Counts one more transfer in RunningTransfers when fewer than the bound run; answers whether
// it did. Any thread.
bool AdmitTransfer();
// Counts a transfer out of RunningTransfers (one that AdmitTransfer counted) and wakes whoever
// waits for room.
void TransferEnded();
// Requests wait at the bound: noted by whoever holds or sees one it could not admit (in a port
// socket's queue, or read and held in single-port mode); forgotten at the next admission.
// The first note after an admission calls the room wake (SetRoomWake), so that the event
// loops look at their transfers.
void NoteRequestsWaiting();
// Whether requests wait at the bound now: then a transfer whose client has been silent past
// the server's own bound makes room for them (OnRequestsWaiting of the session).
bool RequestsWaiting();
// Whether as many transfers run as the bound allows.
bool TransferBoundReached();
// A request that waited longer than the server's Timeout since it arrived (or since the last
// continue, for one that came while paused), on port 69 or held at the bound, is let go
// unanswered: its client has asked again (from a port of its own, perhaps) or given up by
// then.
bool RequestExpired(std::chrono::steady_clock::time_point arrived);
// Since when a request that arrived at `arrived` counts as waiting: its arrival, or the last
// continue when it came while paused.
std::chrono::steady_clock::time_point WaitingSince(std::chrono::steady_clock::time_point arrived);
// The thread engine's listener: waits until a transfer ends or `most` has passed.
void WaitForRoom(std::chrono::milliseconds most);
// The event loops: `wake` is called (from any thread) when a transfer ends while a loop waits
// for room, that is, after RequestRoomWake and before the next such wake. Null for none.
void SetRoomWake(void (*wake)());
// Answers whether there is room; when there is none, asks for the wake at the next end of a
// transfer (the caller waits for it instead of taking requests).
bool RequestRoomWake();

}  // namespace quoril
