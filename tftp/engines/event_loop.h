// The event-loop engine: a few loop threads serve every transfer. Each loop waits at once on
// the port-69 sockets, on the sockets of the transfers it serves and on their nearest
// deadline, so that no packet costs a thread switch.
#pragma once

#include <cstdint>
#include <memory>

#include "tftp/state/server_state.h"

namespace quoril {

class EventLoops {
 public:
  explicit EventLoops(ServerState& server);
  ~EventLoops();
  EventLoops(const EventLoops&) = delete;
  EventLoops& operator=(const EventLoops&) = delete;

  // Starts `count` loops over the server's open port sockets. Answers false, with every
  // loop that did start stopped again, when one cannot be started.
  bool Start(std::uint32_t count);
  // For the shutdown, once the port sockets have stopped taking requests: ends every transfer
  // still running (without a packet; each writes its log line) and waits for the loops to end.
  void Stop();

 private:
  struct Engine;
  ServerState& server_;
  std::unique_ptr<Engine> engine_;
};

}  // namespace quoril
