// Address changes from NotifyUnicastIpAddressChange. Its callbacks run on a thread of the
// system: each queues its record and sends one datagram to a loopback socket of the watcher's
// own, which a poll or a select can wait on with the other sockets.
#include "platform/address_watcher.h"

#include "platform/win32/address_change_row.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32/datagrams.h"

namespace quoril::platform {

// What the callbacks fill and the watcher's thread drains. Outside the anonymous namespace, as
// the watcher's state holds it.
struct AddressInbox {
  bool ipv6 = false;
  UdpSocket signal;
  SocketAddress signalAddress;
  // Set while a signal datagram is on its way, so that a burst of changes sends one.
  std::atomic<bool> signalSent{false};
  std::mutex lock;
  std::vector<AddressChange> pending;  // under `lock`
  bool lost = false;                   // under `lock`
};

namespace {

// Changes kept between two drains; beyond them the drain says that some were lost.
constexpr std::size_t kMostPending = 4096;

VOID NETIOAPI_API_ OnAddressChange(PVOID context, PMIB_UNICASTIPADDRESS_ROW row,
                                   MIB_NOTIFICATION_TYPE type) {
  if (row == nullptr) return;
  AddressInbox& inbox = *static_cast<AddressInbox*>(context);
  MIB_UNICASTIPADDRESS_ROW current = *row;
  // An address that is already gone again is left to its removal's notification.
  if (type != MibDeleteInstance && ::GetUnicastIpAddressEntry(&current) != NO_ERROR) return;
  AddressChange change;
  if (!AddressChangeFromRow(&current, type, change)) return;
  if (change.address.IsIPv6() && !inbox.ipv6) return;
  {
    std::lock_guard held(inbox.lock);
    if (inbox.pending.size() < kMostPending) {
      inbox.pending.push_back(change);
    } else {
      inbox.lost = true;
    }
  }
  static constexpr std::array<std::uint8_t, 1> kByte{0};
  if (!inbox.signalSent.exchange(true) &&
      inbox.signal.SendTo(kByte, inbox.signalAddress) != ERROR_SUCCESS) {
    inbox.signalSent.store(false);
  }
}

}  // namespace

bool AddressChangeFromRow(const MIB_UNICASTIPADDRESS_ROW* row, MIB_NOTIFICATION_TYPE type,
                          AddressChange& change) {
  if (row == nullptr || type == MibInitialNotification) return false;
  const SOCKADDR_INET& address = row->Address;
  if (address.si_family == AF_INET) {
    change.address = SocketAddress::FromIPv4(address.Ipv4.sin_addr.s_addr, 0);
  } else if (address.si_family == AF_INET6) {
    // Scoped as LookupHostAddresses scopes it: a link-local address by its interface.
    const bool linkLocal = IN6_IS_ADDR_LINKLOCAL(&address.Ipv6.sin6_addr);
    const std::uint32_t scope = !linkLocal                        ? 0
                                : address.Ipv6.sin6_scope_id != 0 ? address.Ipv6.sin6_scope_id
                                                                  : row->InterfaceIndex;
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &address.Ipv6.sin6_addr, bytes.size());
    change.address = SocketAddress::FromIPv6(bytes, scope, 0);
  } else {
    return false;
  }
  change.added = type != MibDeleteInstance;
  change.interfaceIndex = row->InterfaceIndex;
  // Preferred and deprecated addresses may be bound; the rest not (yet).
  change.tentative =
      change.added && row->DadState != IpDadStatePreferred && row->DadState != IpDadStateDeprecated;
  return true;
}

struct AddressWatcher::State {
  // The inbox outlives the notification: Close cancels it first, which waits for a callback
  // that is running.
  std::unique_ptr<AddressInbox> inbox;
  HANDLE notification = nullptr;
};

AddressWatcher::AddressWatcher() : state_(std::make_unique<State>()) {}

AddressWatcher::~AddressWatcher() {
  Close();
}

Win32Error AddressWatcher::Open(bool ipv6) {
  Close();
  auto inbox = std::make_unique<AddressInbox>();
  inbox->ipv6 = ipv6;
  if (const Win32Error error = inbox->signal.Open(SocketAddress::FromIPv4(kLoopback, 0));
      error != ERROR_SUCCESS) {
    return error;
  }
  inbox->signalAddress = SocketAddress::FromIPv4(kLoopback, inbox->signal.LocalPort());
  HANDLE notification = nullptr;
  const NETIO_STATUS status = ::NotifyUnicastIpAddressChange(
      ipv6 ? AF_UNSPEC : AF_INET, OnAddressChange, inbox.get(), FALSE, &notification);
  if (status != NO_ERROR) return static_cast<Win32Error>(status);
  state_->inbox = std::move(inbox);
  state_->notification = notification;
  return ERROR_SUCCESS;
}

bool AddressWatcher::IsOpen() const {
  return state_->inbox != nullptr;
}

void AddressWatcher::Close() {
  if (state_->notification != nullptr) ::CancelMibChangeNotify2(state_->notification);
  state_->notification = nullptr;
  state_->inbox.reset();
}

std::intptr_t AddressWatcher::NativeHandle() const {
  return IsOpen() ? state_->inbox->signal.handle_ : -1;
}

Win32Error AddressWatcher::Wait(std::uint32_t timeoutMilliseconds, bool& ready) {
  ready = false;
  if (!IsOpen()) return WSAENOTSOCK;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(AsSocket(state_->inbox->signal.handle_), &readable);
  timeval limit = Timeval(timeoutMilliseconds);
  const int n = ::select(0, &readable, nullptr, nullptr, &limit);
  if (n == SOCKET_ERROR) return LastSocketError();
  ready = n > 0;
  return ERROR_SUCCESS;
}

Win32Error AddressWatcher::Drain(std::vector<AddressChange>& changes, bool& lost) {
  if (!IsOpen()) return WSAENOTSOCK;
  AddressInbox& inbox = *state_->inbox;
  // Cleared before the signal is taken: a change queued after this point signals again, or is
  // drained here.
  inbox.signalSent.store(false);
  // Bounded, should anything else send to the socket.
  for (int taken = 0; taken < 64; ++taken) {
    std::array<std::uint8_t, 16> buffer{};
    std::size_t received = 0;
    SocketAddress from;
    bool gotOne = false;
    const Win32Error error = inbox.signal.TryReceive(buffer, received, from, gotOne);
    if (error != ERROR_SUCCESS && error != WSAEMSGSIZE && error != WSAECONNRESET) return error;
    if (!gotOne && error == ERROR_SUCCESS) break;
  }
  std::lock_guard held(inbox.lock);
  changes.insert(changes.end(), inbox.pending.begin(), inbox.pending.end());
  inbox.pending.clear();
  lost = lost || inbox.lost;
  inbox.lost = false;
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
