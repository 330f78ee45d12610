// The host's addresses as they come and go after the start: rtnetlink's address notifications
// on Linux, NotifyUnicastIpAddressChange on Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/socket_address.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// One change of one address on one interface.
struct AddressChange {
  // True: the address is there (new, or its state changed, as when it leaves duplicate
  // address detection: the same address may come again). False: it went.
  bool added = false;
  SocketAddress address;  // port 0; scoped as LookupHostAddresses scopes it
  std::uint32_t interfaceIndex = 0;
  // In duplicate address detection, or failed it: not to be bound yet. It comes again,
  // usable, once the detection has passed.
  bool tentative = false;
};

// Owned by one thread, which opens, waits, drains and closes it; a poller of that thread may
// watch it instead of Wait (EventPoller::AddWatcher).
class AddressWatcher {
 public:
  AddressWatcher();
  ~AddressWatcher();
  AddressWatcher(const AddressWatcher&) = delete;
  AddressWatcher& operator=(const AddressWatcher&) = delete;

  // Watches the IPv4 addresses, and the IPv6 ones with `ipv6`. A change before Open is not
  // reported: list the addresses after it, so that none is missed.
  Win32Error Open(bool ipv6);
  bool IsOpen() const;
  void Close();

  // Waits at most `timeoutMilliseconds` for changes; `ready` tells whether some wait.
  Win32Error Wait(std::uint32_t timeoutMilliseconds, bool& ready);
  // Appends the changes that wait, oldest first, without waiting. `lost` becomes true when
  // the system dropped changes (its queue was full): the addresses are then to be listed
  // again whole.
  Win32Error Drain(std::vector<AddressChange>& changes, bool& lost);

 private:
  friend class EventPoller;
  // What a poller watches: readable while changes wait. -1 when closed.
  std::intptr_t NativeHandle() const;

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quoril::platform
