// The ports of transfer sockets. Without a range (TransferPortLow/TransferPortHigh), each
// socket takes the port that the system chooses. With one, each takes a free port of the
// range: a cursor goes round it from a random place per start, so that consecutive transfers
// do not reuse the port that a late packet of the previous one may still reach, and a port
// that the system refuses (another program holds it) is passed over. A port is free or held
// per local address, as the system binds. When none is free a session waits: an ending
// transfer of this process wakes its waiters at once, and ports held by others are tried
// again every kPortRetry.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/sockets.h"
#include "tftp/admission/waker.h"

namespace quoril {

inline constexpr auto kPortRetry = std::chrono::milliseconds(200);

enum class PortOpen : std::uint8_t {
  kOpened,
  kBusy,    // every port of the range is held; the waiter is woken when one frees
  kFailed,  // the socket could not be opened for another reason
};

enum class PortWait : std::uint8_t { kNotified, kTimedOut, kCancelled };

class TransferPorts {
 public:
  using Clock = std::chrono::steady_clock;

  TransferPorts() = default;
  TransferPorts(const TransferPorts&) = delete;
  TransferPorts& operator=(const TransferPorts&) = delete;

  // The range `low`..`high` (0 for both: none) over `addresses` local addresses, the cursor
  // at `start` within it. Called while no transfer socket is open.
  void Prepare(std::uint16_t low, std::uint16_t high, std::uint32_t addresses, std::uint32_t start);
  // Opens `socket` on `local`, the address of index `localIndex` (of the local address
  // table), on a free port of the range; `port` is the port taken (0 without a range). kBusy lists
  // `waiter` for the next freed port.
  PortOpen Open(platform::UdpSocket& socket, platform::SocketAddress local,
                std::uint32_t localIndex, GateWaiter& waiter, std::uint16_t& port);
  // The socket that held `port` at `localIndex` is closed: the port is free again and every
  // listed waiter is woken. Port 0 does nothing.
  void Release(std::uint32_t localIndex, std::uint16_t port);
  // For a waiter that is a thread of its own, woken by `waker`: waits until a port frees,
  // `until` passes or the waits are cancelled. It is no longer listed after.
  PortWait Await(GateWaiter& waiter, ThreadWaker& waker, Clock::time_point until);
  // Takes `waiter` off the list; a waiter is withdrawn before it is destroyed.
  void Withdraw(GateWaiter& waiter);

 private:
  bool Held(std::uint32_t localIndex, std::uint32_t offset) const;
  void SetHeld(std::uint32_t localIndex, std::uint32_t offset, bool held);
  void Unlist(GateWaiter& waiter);

  // The range is written by Prepare alone, before any transfer runs, and read without the lock.
  std::uint16_t low_ = 0;
  std::uint32_t size_ = 0;  // ports in the range; 0 for none
  std::mutex mutex_;
  std::uint32_t cursor_ = 0;
  // A bit per port of the range and local address: held by a socket of this process.
  std::vector<std::uint64_t> held_;
  std::vector<std::uint32_t> heldCount_;  // per local address
  GateWaiter* waiters_ = nullptr;
};

}  // namespace quoril
