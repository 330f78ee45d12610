// The thread engine's side of port 69: the listener's thread reads it and starts a thread for
// each request (transfer_thread), with transfer sockets or in single-port mode.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/event_poller.h"
#include "tftp/admission/waker.h"
#include "tftp/intake/intake.h"

namespace quoril {

// Starts a thread for the request in `record` (transfer_thread), which takes it over; in
// single-port mode the listener then feeds it its client's datagrams. A late copy of a running
// transfer's own request (EndpointTable::Claim), or one for which no thread could be started,
// is let go here: its record freed and counted out of the bound.
void StartTransferThread(ServerState& server, RequestRecord* record);

class AddressFollower;

// The listener's reader of port 69. With transfer sockets it takes the requests and starts a
// thread for each; it takes none while paused or at the bound on transfers, when they wait in
// the port sockets' queues. In single-port mode it also hands every datagram of a transfer to
// the thread of its transfer, while paused and at the bound too; the requests it reads
// meanwhile wait in its intake until requests may start again. A thread for each request the
// intake hands over.
class PortReader final : public IntakeEngine {
 public:
  explicit PortReader(ServerState& server);
  PortReader(const PortReader&) = delete;
  PortReader& operator=(const PortReader&) = delete;
  ~PortReader() { Finish(); }

  void StartRequest(RequestRecord* record) override { StartTransferThread(server_, record); }
  // The listener owns no transfer: each runs on a thread with a mailbox of its own.
  void ServeOwn(std::uint64_t, std::span<const std::uint8_t>,
                const platform::SocketAddress&) override {}

  // Follows the addresses with `follower` when it is open.
  bool Start(AddressFollower& follower);
  // Until the stop: answers 0 then, or the event of the failure that ended it.
  std::uint32_t Serve();
  // After the stop: the transfers still running go on for at most `most`; false when a wait
  // failed.
  bool RouteFor(std::chrono::milliseconds most);
  // Lets go of the port sockets before they close.
  void Finish();

 private:
  // One wait and what it found: false, with the event in `failure`, when it ends the reader.
  bool Round(std::uint32_t timeoutMilliseconds, std::uint32_t& failure);

  ServerState& server_;
  const bool singlePort_;
  Intake intake_;
  platform::EventPoller poller_;
  PollerWaker waker_{poller_};
  // With transfer sockets: the wait for room under the bound.
  ThreadWaker room_;
  platform::PortSocketSet::ReadSet watched_;
  AddressFollower* follower_ = nullptr;
  bool registered_ = false;
  bool waking_ = false;
};

}  // namespace quoril
