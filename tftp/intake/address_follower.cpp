#include "tftp/intake/address_follower.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>

#include "config/event_reporter.h"
#include "config/listen_addresses.h"
#include "platform/failure_detail.h"

namespace quoril {

namespace {

// Addresses looked at, of one family, when there are more than the table holds: the ones
// beyond are neither served nor reported.
constexpr std::size_t kMostAddressesListed = 1 << 16;

// Where an address stands when there are more than the table holds: the host's own
// (loopback) and its links' (link-local) first, as the ones a local or network-boot client
// reaches without any configuration; then every other in the system's order.
int AddressRank(const platform::SocketAddress& address) {
  const std::span<const std::uint8_t> host = address.Host();
  if (!address.IsIPv6()) {
    if (host[0] == 127) return 0;
    return host[0] == 169 && host[1] == 254 ? 1 : 2;
  }
  constexpr std::array<std::uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::ranges::equal(host, kLoopback)) return 0;
  return host[0] == 0xFE && (host[1] & 0xC0) == 0x80 ? 1 : 2;
}

// Every address of `family`, however many, in the order that decides which are served.
bool ListHostAddresses(platform::HostAddressFamily family,
                       std::vector<platform::SocketAddress>& found) {
  found.resize(kMaxLocalAddresses);
  for (;;) {
    std::uint32_t count = 0;
    const Win32Error error = platform::LookupHostAddresses(found, count, family);
    if (error == ERROR_MORE_DATA && found.size() < kMostAddressesListed) {
      found.resize(found.size() * 2);
      continue;
    }
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return false;
    found.resize(count);
    std::ranges::stable_sort(found, {}, AddressRank);
    return true;
  }
}

// The addresses there are to serve, each family in the order that decides which are served.
// `atStart`: each ListenAddresses entry that matches none is reported.
bool ListServedAddresses(const ServerState& server, std::vector<platform::SocketAddress>& ipv4,
                         std::vector<platform::SocketAddress>& ipv6, bool atStart) {
  return ListHostAddresses(platform::HostAddressFamily::kIPv4, ipv4) &&
         (server.config.EnableIPv6 == 0 ||
          ListHostAddresses(platform::HostAddressFamily::kIPv6, ipv6)) &&
         KeepListenedAddresses(server.config.ListenAddresses, ipv4, ipv6, atStart);
}

// One event, with the address in its detail.
void ReportAddress(std::uint32_t eventId, const char* what, const platform::SocketAddress& address,
                   const std::string& more = {}) {
  platform::HostText text{};
  platform::FormatHost(address, text);
  platform::NoteEventDetail(std::string(what) + text.data() + more);
  EventReporter(eventId);
}

bool Holds(const std::vector<platform::SocketAddress>& addresses,
           const platform::SocketAddress& address) {
  return std::ranges::find(addresses, address) != addresses.end();
}

}  // namespace

bool EnumerateLocalAddresses(ServerState& server) {
  LocalAddressTable& table = server.local;
  std::vector<platform::SocketAddress> ipv4;
  std::vector<platform::SocketAddress> ipv6;
  if (!ListServedAddresses(server, ipv4, ipv6, true)) return false;
  // The table's room in order: IPv4 addresses up to their share, then IPv6 ones.
  std::uint32_t count = 0;
  const auto take = [&](const std::vector<platform::SocketAddress>& found, std::uint32_t most) {
    for (const platform::SocketAddress& address : found) {
      if (count < most) {
        table.addresses[count++] = address;
      } else {
        ReportAddress(EVENT_ADDRESS_NOT_SERVED, "not served: ", address);
      }
    }
  };
  take(ipv4, kMaxIPv4Addresses);
  take(ipv6, kMaxLocalAddresses);
  table.count = count;
  return true;
}

Win32Error AddressFollower::Open() {
  if (server_.config.FollowAddresses == 0) return ERROR_SUCCESS;
  return watcher_.Open(server_.config.EnableIPv6 != 0);
}

void AddressFollower::Start() {
  const LocalAddressTable& table = server_.local;
  known_.assign(table.addresses.begin(), table.addresses.begin() + table.count);
}

bool AddressFollower::Follow() {
  bool lost = false;
  changes_.clear();
  if (watcher_.Drain(changes_, lost) != ERROR_SUCCESS) return false;
  if (changes_.empty() && !lost) return true;
  for (const platform::AddressChange& change : changes_) {
    std::erase(tentative_, change.address);
    if (change.added && change.tentative) tentative_.push_back(change.address);
  }
  // Whatever changed, the listing tells what is there now: changes that were dropped, or an
  // interface that a ListenAddresses entry names coming up, count alike.
  std::vector<platform::SocketAddress> ipv4;
  std::vector<platform::SocketAddress> ipv6;
  // A listing that fails is tried again at the next change.
  if (!ListServedAddresses(server_, ipv4, ipv6, false)) return true;
  // Not to be bound until duplicate address detection has passed: it comes again then.
  const auto settled = [this](const platform::SocketAddress& a) { return Holds(tentative_, a); };
  std::erase_if(ipv4, settled);
  std::erase_if(ipv6, settled);

  LocalAddressTable& table = server_.local;
  bool changed = false;
  for (std::uint32_t k = 0; k < table.count; ++k) {
    if (table.sockets.IsOpen(k) && !Holds(ipv4, table.addresses[k]) &&
        !Holds(ipv6, table.addresses[k])) {
      LetGo(k);
      changed = true;
    }
  }
  for (const auto* found : {&ipv4, &ipv6}) {
    for (const platform::SocketAddress& address : *found) {
      if (!Holds(known_, address)) changed = TakeUp(address, found == &ipv6) || changed;
    }
  }
  known_ = std::move(ipv4);
  known_.insert(known_.end(), ipv6.begin(), ipv6.end());
  if (changed) {
    table.generation.fetch_add(1);
    server_.controls.WakeAll();
  }
  return true;
}

bool AddressFollower::TakeUp(const platform::SocketAddress& address, bool ipv6) {
  LocalAddressTable& table = server_.local;
  std::uint32_t served = 0;
  std::uint32_t servedIPv4 = 0;
  for (std::uint32_t k = 0; k < table.count; ++k) {
    if (!table.sockets.IsOpen(k)) continue;
    if (table.addresses[k] == address) return false;
    ++served;
    if (!table.addresses[k].IsIPv6()) ++servedIPv4;
  }
  const std::uint32_t count = table.count;
  if ((!ipv6 && servedIPv4 >= kMaxIPv4Addresses) || served >= kMaxLocalAddresses ||
      (count == kMaxLocalAddresses && freed_.empty())) {
    ReportAddress(EVENT_ADDRESS_NOT_SERVED, "not served: ", address);
    return false;
  }
  // A freed slot before a new one: a freed slot's descriptor number is still taken.
  const bool fresh = freed_.empty();
  const std::uint32_t slot = fresh ? count : freed_.front();
  if (!fresh) freed_.pop_front();
  table.addresses[slot] = address;
  platform::SocketAddress local = address;
  local.SetPort(kTftpPort);
  if (const Win32Error error = table.sockets.Open(slot, local); error != ERROR_SUCCESS) {
    if (!fresh) freed_.push_front(slot);
    ReportAddress(EVENT_SOCKET_ALLOCATE, "port 69 on ", address,
                  ": " + platform::DescribeError(error));
    return false;
  }
  NoteAddressSlot(server_.metrics, slot, true);
  if (fresh) table.count.store(count + 1);
  ReportAddress(EVENT_ADDRESS_TAKEN_UP, "", address);
  return true;
}

void AddressFollower::LetGo(std::uint32_t slot) {
  LocalAddressTable& table = server_.local;
  // Told before the socket goes, so that whoever sees port 69 closed finds the event written.
  ReportAddress(EVENT_ADDRESS_LET_GO, "", table.addresses[slot]);
  table.sockets.Retire(slot);
  NoteAddressSlot(server_.metrics, slot, false);
  freed_.push_back(slot);
}

}  // namespace quoril
