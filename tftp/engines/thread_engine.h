// The thread engine's side of port 69: the listener's thread reads it and starts a thread for
// each request (transfer_thread), with transfer sockets or in single-port mode.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/event_poller.h"
#include "tftp/admission/waker.h"
#include "tftp/engines/transfer_thread.h"
#include "tftp/intake/intake.h"

namespace quoril {

// A thread for each request the intake hands over.
class ThreadHandOver final : public IntakeEngine {
 public:
  explicit ThreadHandOver(ServerState& server) : server_(server) {}
  void StartRequest(RequestRecord* record) override;
  // The listener owns no transfer: each runs on a thread with a mailbox of its own.
  void ServeOwn(std::uint64_t, std::span<const std::uint8_t>,
                const platform::SocketAddress&) override {}

 private:
  ServerState& server_;
};

// With transfer sockets: reads requests on every port-69 socket until the stop. Answers 0 at
// the stop, or the event of the failure that ended it.
std::uint32_t ReceiveRequests(ServerState& server);

// Single-port mode: the listener reads every datagram on port 69, hands each to the thread of
// its transfer and starts a thread for each request. It reads port 69 while paused and at the
// bound on transfers too, for the transfers that run on it; the requests it reads meanwhile
// wait in its intake until requests may start again.
class PortRouter {
 public:
  explicit PortRouter(ServerState& server);
  PortRouter(const PortRouter&) = delete;
  PortRouter& operator=(const PortRouter&) = delete;
  ~PortRouter() { Finish(); }

  bool Start();
  // Until the stop: answers 0 then, or the event of the failure that ended it.
  std::uint32_t Serve();
  // After the stop: the transfers still running go on for at most `most`; false when a wait
  // failed.
  bool RouteFor(std::chrono::milliseconds most);
  // Lets go of the port sockets before they close.
  void Finish();

 private:
  bool Round(std::uint32_t timeoutMilliseconds);

  ServerState& server_;
  ThreadHandOver handOver_;
  Intake intake_;
  platform::EventPoller poller_;
  PollerWaker waker_{poller_};
  std::uint32_t ports_ = 0;
  bool observing_ = false;
  bool waking_ = false;
};

}  // namespace quoril
