#include "tftp/admission/client_turns.h"

#include <cstring>

namespace quoril {

// An address with turns held or asked for; unused slots have `used` false.
struct ClientTurns::Entry {
  std::uint64_t host = 0;      // HostKey
  TurnTicket* head = nullptr;  // waiting tickets, oldest first
  TurnTicket* tail = nullptr;
  std::uint32_t held = 0;
  bool used = false;
};

namespace {

// How far back a repeated request is looked for among its address's waiters: a client asks
// again after a second or more, and under a flood from its address it may find no place.
constexpr int kRepeatSearch = 256;

// FNV-1a over the host's bytes and scope.
std::uint64_t Mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// A client's host as the table knows it, in 8 bytes, so that the table (sized for every
// session at once) stays small: an IPv4 address as it is; an IPv6 address by its /64 prefix
// and scope, folded, with the top bit set. One host is given a whole /64 (SLAAC, a router's
// delegation), and its sender may pick any address in it: counted per address, one forger
// would have 2^64 bounds. Two prefixes that fold alike would share one bound: a forged source
// gains nothing it could not have by forging the prefix itself.
std::uint64_t HostKey(const platform::SocketAddress& address) {
  if (!address.IsIPv6()) return address.IPv4();
  std::uint64_t prefix = 0;
  std::memcpy(&prefix, address.Host().data(), sizeof prefix);
  return Mix(prefix ^ Mix(address.Scope())) | (std::uint64_t{1} << 63);
}

std::uint32_t Hash(std::uint64_t host) {
  return static_cast<std::uint32_t>((host * 0x9E3779B97F4A7C15u) >> 32);
}

}  // namespace

ClientTurns::ClientTurns() {
  Prepare(kTurnsPerAddress, kTurnsPerAddress);
}

ClientTurns::~ClientTurns() = default;

void ClientTurns::Prepare(std::uint32_t sessions, std::uint32_t perAddress) {
  // At most half full, so that probes stay short.
  std::uint32_t size = 64;
  while (size < 2 * sessions && size < (1u << 30)) size *= 2;
  std::lock_guard lock(mutex_);
  if (mask_ + 1 != size) {
    entries_ = std::make_unique<Entry[]>(size);
    mask_ = size - 1;
  }
  perAddress_ = perAddress;
}

// The address's entry; a new one when `insert` (nullptr should the table be full), else
// nullptr when it has none.
ClientTurns::Entry* ClientTurns::Find(const platform::SocketAddress& address, bool insert) {
  const std::uint64_t host = HostKey(address);
  for (std::uint32_t i = Hash(host) & mask_, probes = 0; probes <= mask_;
       i = (i + 1) & mask_, ++probes) {
    Entry& entry = entries_[i];
    if (entry.used && entry.host == host) return &entry;
    if (entry.used) continue;
    if (insert) entry = Entry{host, nullptr, nullptr, 0, true};
    return insert ? &entry : nullptr;
  }
  return nullptr;
}

// Linear probing's deletion: later entries of the same run move up into the gap, so that no
// search stops early at it.
void ClientTurns::Erase(Entry* entry) {
  std::uint32_t gap = static_cast<std::uint32_t>(entry - entries_.get());
  entries_[gap].used = false;
  for (std::uint32_t i = (gap + 1) & mask_; entries_[i].used; i = (i + 1) & mask_) {
    const std::uint32_t home = Hash(entries_[i].host) & mask_;
    // Moves when its home lies outside (gap, i], cyclically.
    if (((i - home) & mask_) >= ((i - gap) & mask_)) {
      entries_[gap] = entries_[i];
      entries_[i].used = false;
      gap = i;
    }
  }
}

void ClientTurns::Unlink(TurnTicket*& head, TurnTicket*& tail, TurnTicket& ticket) {
  (ticket.previous != nullptr ? ticket.previous->next : head) = ticket.next;
  (ticket.next != nullptr ? ticket.next->previous : tail) = ticket.previous;
  ticket.previous = ticket.next = nullptr;
}

void ClientTurns::Append(TurnTicket*& head, TurnTicket*& tail, TurnTicket& ticket) {
  ticket.previous = tail;
  ticket.next = nullptr;
  (tail != nullptr ? tail->next : head) = &ticket;
  tail = &ticket;
}

// A turn of `entry` is free: its oldest waiter gets it.
void ClientTurns::Grant(Entry& entry) {
  TurnTicket* ticket = entry.head;
  if (ticket == nullptr || entry.held >= perAddress_) return;
  Unlink(entry.head, entry.tail, *ticket);
  ++entry.held;
  ticket->state = TurnState::kGranted;
  GateWaiter& waiter = *ticket->waiter;
  Append(waiter.grantedHead_, waiter.grantedTail_, *ticket);
  waiter.waker_.Wake();
}

TurnTaken ClientTurns::Take(TurnTicket& ticket, const platform::SocketAddress& client,
                            GateWaiter& waiter, std::uintptr_t key) {
  std::lock_guard lock(mutex_);
  ticket.waiter = &waiter;
  ticket.key = key;
  ticket.client = client;
  ticket.state = TurnState::kNone;
  Entry* entry = Find(client, true);
  // More addresses than sessions cannot be; should it happen, the request is not held up.
  if (entry == nullptr) return TurnTaken::kHeld;
  if (entry->head == nullptr && entry->held < perAddress_) {
    ++entry->held;
    ticket.state = TurnState::kHeld;
    return TurnTaken::kHeld;
  }
  int searched = 0;
  for (const TurnTicket* other = entry->tail; other != nullptr && searched < kRepeatSearch;
       other = other->previous, ++searched) {
    if (other->client == client) return TurnTaken::kRepeated;
  }
  ticket.state = TurnState::kWaiting;
  Append(entry->head, entry->tail, ticket);
  return TurnTaken::kWaiting;
}

void ClientTurns::Leave(TurnTicket& ticket) {
  std::lock_guard lock(mutex_);
  const TurnState state = ticket.state;
  if (state == TurnState::kNone) return;
  ticket.state = TurnState::kNone;
  if (state == TurnState::kGranted) {
    Unlink(ticket.waiter->grantedHead_, ticket.waiter->grantedTail_, ticket);
  }
  Entry* entry = Find(ticket.client, false);
  if (entry == nullptr) return;
  if (state == TurnState::kWaiting) {
    Unlink(entry->head, entry->tail, ticket);
  } else {
    --entry->held;
    Grant(*entry);
  }
  if (entry->held == 0 && entry->head == nullptr) Erase(entry);
}

TurnTicket* ClientTurns::NextGranted(GateWaiter& waiter) {
  std::lock_guard lock(mutex_);
  TurnTicket* ticket = waiter.grantedHead_;
  if (ticket == nullptr) return nullptr;
  Unlink(waiter.grantedHead_, waiter.grantedTail_, *ticket);
  ticket->state = TurnState::kHeld;
  return ticket;
}

TurnWait ClientTurns::Await(TurnTicket& ticket, ThreadWaker& waker, Clock::time_point deadline) {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (ticket.state == TurnState::kGranted) {
        Unlink(ticket.waiter->grantedHead_, ticket.waiter->grantedTail_, ticket);
        ticket.state = TurnState::kHeld;
        return TurnWait::kGranted;
      }
      if (ticket.state != TurnState::kWaiting) return TurnWait::kDeadline;
    }
    switch (waker.WaitUntil(deadline)) {
      case ThreadWaker::Woken::kCancelled:
        return TurnWait::kCancelled;
      case ThreadWaker::Woken::kTimedOut:
        return TurnWait::kDeadline;
      case ThreadWaker::Woken::kWoken:
        break;
    }
  }
}

}  // namespace quoril
