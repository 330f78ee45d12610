// The reflection bound: for each client address, at most kTurnsPerAddress transfers run
// before they have heard a single packet from their client. A request beyond that waits for
// its turn (it is not dropped) until one of them hears from its client or ends. A request with
// a forged source can thus make the server send to that address only a few packets per
// Timeout, however many requests arrive, while real clients behind one address (a NAT, or
// many clients on one host) lose nothing: their transfers leave the count at their first
// answer, a round trip after they began. Clients on the host's own addresses take no turns.
// An IPv6 client is counted by its /64 prefix, the least a network hands one host.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/socket_address.h"
#include "tftp/admission/waker.h"

namespace quoril {

inline constexpr std::uint32_t kTurnsPerAddress = 16;

enum class TurnState : std::uint8_t {
  kNone,     // no turn asked for, or the transfer has heard from its client
  kWaiting,  // in its address's queue
  kGranted,  // given a turn that its waiter has not taken up yet
  kHeld,     // counted against its address
};

// One session's place. Lives in the session; ClientTurns alone writes it, under its lock.
struct TurnTicket {
  GateWaiter* waiter = nullptr;
  std::uintptr_t key = 0;  // the engine's, to find the session again
  TurnState state = TurnState::kNone;
  platform::SocketAddress client{};  // address and port
  TurnTicket* previous = nullptr;    // in the address's queue, or in the waiter's granted list
  TurnTicket* next = nullptr;
};

enum class TurnWait : std::uint8_t { kGranted, kDeadline, kCancelled };
enum class TurnTaken : std::uint8_t {
  kHeld,      // the transfer may start
  kWaiting,   // behind the address's earlier waiters
  kRepeated,  // the same client endpoint already waits: a client that asked again, not queued twice
};

class ClientTurns {
 public:
  using Clock = std::chrono::steady_clock;

  ClientTurns();
  ~ClientTurns();
  ClientTurns(const ClientTurns&) = delete;
  ClientTurns& operator=(const ClientTurns&) = delete;

  // Room for `sessions` sessions at once, which is also the most addresses the table ever
  // holds, and `perAddress` turns per address. Called while no ticket is in use.
  void Prepare(std::uint32_t sessions, std::uint32_t perAddress);

  // Asks for a turn at the address of `client` for `waiter`. A request of an endpoint that already
  // waits is kRepeated and leaves the ticket kNone: the client's earlier request keeps its
  // place, and once served it would only find a second transfer to ignore.
  TurnTaken Take(TurnTicket& ticket, const platform::SocketAddress& client, GateWaiter& waiter,
                 std::uintptr_t key);
  // The ticket's transfer heard from its client, or ended: a held turn passes to the oldest
  // waiter of its address; a waiting or granted ticket is withdrawn. The ticket is then kNone.
  void Leave(TurnTicket& ticket);
  // The oldest of `waiter`'s granted tickets, now held; nullptr when there is none.
  TurnTicket* NextGranted(GateWaiter& waiter);
  // For a waiter that is a thread of its own, woken by `waker`: waits until the ticket is
  // granted (then held), `deadline` passes or the waits are cancelled.
  TurnWait Await(TurnTicket& ticket, ThreadWaker& waker, Clock::time_point deadline);

 private:
  struct Entry;
  Entry* Find(const platform::SocketAddress& address, bool insert);
  void Erase(Entry* entry);
  void Grant(Entry& entry);
  static void Unlink(TurnTicket*& head, TurnTicket*& tail, TurnTicket& ticket);
  static void Append(TurnTicket*& head, TurnTicket*& tail, TurnTicket& ticket);

  std::mutex mutex_;
  std::unique_ptr<Entry[]> entries_;
  std::uint32_t mask_ = 0;  // table size - 1, a power of two
  std::uint32_t perAddress_ = kTurnsPerAddress;
};

}  // namespace quoril
