#include "tftp/admission/single_port.h"

#include <algorithm>
#include <utility>

#include "tftp/protocol/packets.h"

namespace quoril {

namespace {

std::uint16_t OpcodeOf(std::span<const std::uint8_t> datagram) {
  return datagram.size() >= 2 ? ReadField16(datagram, 0) : 0;
}

// FNV-1a: tells a copy of a request from another one. A forger that made two requests collide
// could only have its own request dropped.
std::uint64_t Digest(std::span<const std::uint8_t> bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3u;
  return hash;
}

// IP and UDP headers, and what a datagram of `size` bytes takes on the wire.
std::uint64_t OnTheWire(std::size_t size, const platform::SocketAddress& peer) {
  return size + (peer.IsIPv6() ? 48u : 28u);
}

}  // namespace

bool EndpointTable::Endpoint::operator==(const Endpoint& other) const {
  return localIndex == other.localIndex && client == other.client;
}

std::size_t EndpointTable::EndpointHash::operator()(const Endpoint& endpoint) const {
  // FNV-1a over what tells endpoints apart.
  std::uint64_t hash = 0xcbf29ce484222325u;
  const auto mix = [&hash](std::uint64_t value) { hash = (hash ^ value) * 0x100000001b3u; };
  for (const std::uint8_t byte : endpoint.client.Host()) mix(byte);
  mix(endpoint.client.Port());
  mix(endpoint.client.Scope());
  mix(endpoint.localIndex);
  return static_cast<std::size_t>(hash);
}

void EndpointTable::Post(Mailbox& mailbox, Parcel::Kind kind, std::uint64_t key,
                         const platform::SocketAddress& from,
                         std::span<const std::uint8_t> datagram) {
  if (kind == Parcel::Kind::kDatagram && !mailbox.open_) return;
  if (mailbox.queue_.size() >= Mailbox::kMostParcels) return;
  if (mailbox.spare_.empty()) {
    mailbox.queue_.emplace_back();
  } else {
    mailbox.queue_.push_back(std::move(mailbox.spare_.back()));
    mailbox.spare_.pop_back();
  }
  Parcel& parcel = mailbox.queue_.back();
  parcel.kind = kind;
  parcel.key = key;
  parcel.from = from;
  parcel.bytes.assign(datagram.begin(), datagram.end());
  mailbox.waker_.Wake();
}

EndpointTable::Claimed EndpointTable::Claim(std::uint32_t localIndex,
                                            const platform::SocketAddress& client,
                                            std::span<const std::uint8_t> request, Owner owner,
                                            std::uint64_t& previous) {
  const std::uint64_t digest = Digest(request);
  std::lock_guard lock(mutex_);
  auto [place, inserted] =
      owners_.try_emplace(Endpoint{localIndex, client}, Holder{owner, digest, false});
  if (inserted) return Claimed::kClaimed;
  Holder& holder = place->second;
  if ((holder.heard || !supersedes_) && holder.request == digest) return Claimed::kRepeatedRequest;
  const Owner before = std::exchange(holder.owner, owner);
  holder.request = digest;
  holder.heard = false;
  if (!supersedes_) return Claimed::kClaimed;
  if (before.mailbox == owner.mailbox) {
    previous = before.key;
    return Claimed::kSupersedesOwn;
  }
  Post(*before.mailbox, Parcel::Kind::kSuperseded, before.key, client, {});
  return Claimed::kClaimed;
}

bool EndpointTable::IsLateCopy(std::uint32_t localIndex, const platform::SocketAddress& client,
                               std::span<const std::uint8_t> request) {
  const std::uint64_t digest = Digest(request);
  std::lock_guard lock(mutex_);
  const auto place = owners_.find(Endpoint{localIndex, client});
  return place != owners_.end() && place->second.heard && place->second.request == digest;
}

void EndpointTable::Heard(std::uint32_t localIndex, const platform::SocketAddress& client,
                          Owner owner) {
  std::lock_guard lock(mutex_);
  const auto place = owners_.find(Endpoint{localIndex, client});
  if (place != owners_.end() && place->second.owner == owner) {
    place->second.heard = true;
  }
}

void EndpointTable::Leave(std::uint32_t localIndex, const platform::SocketAddress& client,
                          Owner owner) {
  std::lock_guard lock(mutex_);
  const auto place = owners_.find(Endpoint{localIndex, client});
  if (place != owners_.end() && place->second.owner == owner) {
    owners_.erase(place);
  }
}

EndpointTable::Routed EndpointTable::Route(std::uint32_t localIndex,
                                           const platform::SocketAddress& from,
                                           std::span<const std::uint8_t> datagram,
                                           const Mailbox* self, std::uint64_t& key) {
  std::lock_guard lock(mutex_);
  const auto place = owners_.find(Endpoint{localIndex, from});
  if (place == owners_.end()) return Routed::kNobody;
  const Owner& owner = place->second.owner;
  if (owner.mailbox == self) {
    key = owner.key;
    return Routed::kOwn;
  }
  Post(*owner.mailbox, Parcel::Kind::kDatagram, owner.key, from, datagram);
  return Routed::kPosted;
}

void EndpointTable::Open(Mailbox& mailbox) {
  std::lock_guard lock(mutex_);
  mailbox.open_ = true;
}

bool EndpointTable::Take(Mailbox& mailbox, Parcel& parcel) {
  std::lock_guard lock(mutex_);
  if (mailbox.queue_.empty()) return false;
  std::swap(parcel, mailbox.queue_.front());
  mailbox.spare_.push_back(std::move(mailbox.queue_.front()));
  mailbox.queue_.pop_front();
  return true;
}

MailboxWait EndpointTable::Wait(Mailbox& mailbox, ThreadWaker& waker, Parcel& parcel,
                                std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (waker.Cancelled()) return MailboxWait::kCancelled;
    if (Take(mailbox, parcel)) return MailboxWait::kParcel;
    switch (waker.WaitUntil(deadline)) {
      case ThreadWaker::Woken::kCancelled:
        return MailboxWait::kCancelled;
      case ThreadWaker::Woken::kTimedOut:
        return Take(mailbox, parcel) ? MailboxWait::kParcel : MailboxWait::kDeadline;
      case ThreadWaker::Woken::kWoken:
        break;
    }
  }
}

void EndpointTable::Prepare(bool supersedes) {
  std::lock_guard lock(mutex_);
  owners_.clear();
  supersedes_ = supersedes;
}

void ReplyBudget::Earn(std::size_t datagramSize, const platform::SocketAddress& client) {
  credit_ += kFactor * OnTheWire(datagramSize, client);
}

bool ReplyBudget::Spend(std::size_t packetSize, const platform::SocketAddress& client) {
  const std::uint64_t cost = OnTheWire(packetSize, client);
  if (cost > credit_) return false;
  credit_ -= cost;
  return true;
}

std::uint32_t LargestSinglePortBlock(const platform::SocketAddress& client) {
  // A DATA packet no larger on the wire than kFactor ACKs.
  return static_cast<std::uint32_t>((ReplyBudget::kFactor - 1) * OnTheWire(kHeaderSize, client));
}

std::uint32_t LargestSinglePortWindow(std::uint32_t blockSize,
                                      const platform::SocketAddress& client) {
  const std::uint64_t fits = ReplyBudget::kFactor * OnTheWire(kHeaderSize, client) /
                             OnTheWire(kHeaderSize + blockSize, client);
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(fits, 1));
}

bool IsTransferRequest(std::span<const std::uint8_t> datagram) {
  const std::uint16_t opcode = OpcodeOf(datagram);
  return opcode == kOpcodeRrq || opcode == kOpcodeWrq;
}

}  // namespace quoril
