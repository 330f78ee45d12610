// The local addresses served: the ones listed at the start, and with FollowAddresses the ones
// that come and go after it, each with its port-69 socket in the table.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/address_watcher.h"
#include "tftp/state/server_state.h"

namespace quoril {

// Fills the table's addresses and count: the IPv4 addresses, then the IPv6 ones when
// EnableIPv6 is set, each family loopback first, then link-local, then in the system's order.
// Each address beyond the table's room is left out and reported (EVENT_ADDRESS_NOT_SERVED).
bool EnumerateLocalAddresses(ServerState& server);

// Follows the host's addresses after the start. Owned by the thread that reads port 69 (the
// thread engine's listener, or the first loop), which alone opens and closes the table's
// slots meanwhile; the other loops take the slots up when woken. A slot once used keeps its
// index below the table's count: its socket may be closed (PortSocketSet::IsOpen).
class AddressFollower {
 public:
  explicit AddressFollower(ServerState& server) : server_(server) {}
  AddressFollower(const AddressFollower&) = delete;
  AddressFollower& operator=(const AddressFollower&) = delete;

  // With FollowAddresses set: watches the addresses from here on. Called before they are
  // listed, so that no change falls between the listing and the watch.
  Win32Error Open();
  bool IsOpen() const { return watcher_.IsOpen(); }
  const platform::AddressWatcher& Watcher() const { return watcher_; }
  // After the start's sockets are open: the addresses they serve are the ones known.
  void Start();

  // Drains the changes and brings the table in line with the addresses there now: a socket
  // in a free slot for each new one (within the bound on addresses), the socket of each one
  // gone closed. Every engine is woken (ServiceControls::WakeAll) when the table changed. Answers
  // false when the changes cannot be read: the caller then stops watching.
  bool Follow();

 private:
  bool TakeUp(const platform::SocketAddress& address, bool ipv6);
  void LetGo(std::uint32_t slot);

  ServerState& server_;
  platform::AddressWatcher watcher_;
  std::vector<platform::AddressChange> changes_;
  // Addresses found by the last listing, served or not: only a new one is taken up (or
  // reported as beyond the bound).
  std::vector<platform::SocketAddress> known_;
  // Addresses whose last change left them in duplicate address detection.
  std::vector<platform::SocketAddress> tentative_;
  // Slots let go, oldest first: the oldest is reused first, so that the transfers of an address
  // that went, still known by its slot (EndpointTable, TransferPorts), have had longest to end.
  std::deque<std::uint32_t> freed_;
};

}  // namespace quoril
