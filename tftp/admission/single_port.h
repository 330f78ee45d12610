// Single-port mode: every transfer runs on the port-69 socket that received its request and is
// told apart from the others by that socket and its client's address and port. Whoever reads
// port 69 (the thread engine's listener, or any event loop) hands each datagram to the owner of
// its transfer through the owner's mailbox, or serves it at once when the transfer is its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/sockets.h"
#include "tftp/admission/waker.h"

namespace quoril {

// One datagram (or word) on its way to the owner of a transfer.
struct Parcel {
  enum class Kind : std::uint8_t { kDatagram, kSuperseded };
  Kind kind = Kind::kDatagram;
  std::uint64_t key = 0;  // the owner's name for the transfer
  platform::SocketAddress from{};
  std::vector<std::uint8_t> bytes;  // the whole datagram
};

// What the owner of transfers (a loop, or one transfer's thread) has yet to serve. Its state is
// guarded by the endpoint table's lock.
class Mailbox {
 public:
  // Each parcel wakes `waker`: a loop's poller, or the owner's thread waiting in
  // EndpointTable::Wait. A mailbox that starts closed drops datagrams until it is opened
  // (EndpointTable::Open).
  Mailbox(Waker& waker, bool open) : waker_(waker), open_(open) {}
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

 private:
  friend class EndpointTable;
  // A full mailbox drops what comes, as a full socket buffer would.
  static constexpr std::size_t kMostParcels = 256;

  Waker& waker_;
  bool open_;
  std::deque<Parcel> queue_;
  std::vector<Parcel> spare_;  // emptied parcels, so that their buffers serve again
};

enum class MailboxWait : std::uint8_t { kParcel, kDeadline, kCancelled };

// Which transfer owns each (port socket, client address and port), under one lock.
class EndpointTable {
 public:
  struct Owner {
    Mailbox* mailbox = nullptr;
    std::uint64_t key = 0;
    bool operator==(const Owner&) const = default;
  };
  enum class Routed : std::uint8_t { kNobody, kPosted, kOwn };
  enum class Claimed : std::uint8_t {
    kClaimed,         // the endpoint was free, or its transfer is superseded by a parcel
    kSupersedesOwn,   // its transfer, named in `previous`, is the caller's own to end
    kRepeatedRequest  // nothing changed: the caller drops the request
  };

  // `owner` now serves the endpoint for `request`, and the transfer that served it until now
  // is superseded: a kSuperseded parcel goes to its mailbox, or, when that is `owner.mailbox`
  // itself, its key is answered in `previous` for the caller to end it. A transfer whose client
  // has been heard is not superseded by a copy of its own request, which can only be late
  // (duplicated or reordered on the way); any other request supersedes it, as a client that
  // gave up asks for the next file from its port.
  // With transfer sockets (IgnoreRequestCopies) nothing is superseded, since the client holds
  // on to the port that answered first, and every copy of a running transfer's request is
  // dropped, heard or not: a second transfer would only be refused by the client, or, for a
  // write, meet the first one's file and send the client "Sharing violation" in its stead. The
  // running transfer's own retransmission answers a client that asked again.
  Claimed Claim(std::uint32_t localIndex, const platform::SocketAddress& client,
                std::span<const std::uint8_t> request, Owner owner, std::uint64_t& previous);
  // Whether `request` is a copy of the request of the endpoint's transfer, whose client has
  // been heard: what Claim would refuse, answered as it is read, before later datagrams of the
  // transfer may end it.
  bool IsLateCopy(std::uint32_t localIndex, const platform::SocketAddress& client,
                  std::span<const std::uint8_t> request);
  // The transfer of `owner` has heard its client (TransferSession::heard).
  void Heard(std::uint32_t localIndex, const platform::SocketAddress& client, Owner owner);
  // The transfer of `owner` has ended; an endpoint claimed again since stays with its new owner.
  void Leave(std::uint32_t localIndex, const platform::SocketAddress& client, Owner owner);
  // Posts the datagram to the owner of its endpoint, or answers kOwn with the transfer's key
  // when the owner's mailbox is `self`.
  Routed Route(std::uint32_t localIndex, const platform::SocketAddress& from,
               std::span<const std::uint8_t> datagram, const Mailbox* self, std::uint64_t& key);
  // Datagrams to the mailbox are taken from now on.
  void Open(Mailbox& mailbox);
  // Moves the oldest parcel into `parcel`; false when there is none.
  bool Take(Mailbox& mailbox, Parcel& parcel);
  // For the mailbox of a thread woken by `waker`: Take, waiting until `deadline` or the cancel,
  // which comes first.
  MailboxWait Wait(Mailbox& mailbox, ThreadWaker& waker, Parcel& parcel,
                   std::chrono::steady_clock::time_point deadline);
  // Empties the table; `supersedes` for single-port mode.
  void Prepare(bool supersedes);

 private:
  struct Endpoint {
    std::uint32_t localIndex;
    platform::SocketAddress client;
    bool operator==(const Endpoint& other) const;
  };
  struct EndpointHash {
    std::size_t operator()(const Endpoint& endpoint) const;
  };
  struct Holder {
    Owner owner;
    std::uint64_t request = 0;  // digest of the request it serves
    bool heard = false;
  };
  static void Post(Mailbox& mailbox, Parcel::Kind kind, std::uint64_t key,
                   const platform::SocketAddress& from, std::span<const std::uint8_t> datagram);

  std::mutex mutex_;
  std::unordered_map<Endpoint, Holder, EndpointHash> owners_;
  bool supersedes_ = true;
};

// RRQ or WRQ: what claims its endpoint.
bool IsTransferRequest(std::span<const std::uint8_t> datagram);

// Single-port mode gives up the transfer port as a secret: whoever can forge a client's address
// knows where its transfer listens (port 69) and can send its requests and ACKs. So that no
// forger draws more than kFactor times the bytes it forged, a transfer earns kFactor times the
// size on the wire of each datagram from its client's address and port (its request included)
// and spends the size of each packet it sends there; a packet beyond what it earned is withheld
// as if lost, and the client's retry earns room for it. A budget rather than a smaller window
// alone, because a forger that waits a Timeout between its ACKs draws every retransmission too.
// Negotiation keeps a new window within what one ACK earns (LargestSinglePortBlock, ...Window),
// so that only retransmissions can ever wait for room. Written by the transfer's owner only.
class ReplyBudget {
 public:
  static constexpr std::uint64_t kFactor = 50;
  void Earn(std::size_t datagramSize, const platform::SocketAddress& client);
  // Answers whether `packetSize` may go to `client` now, and if so takes its cost.
  bool Spend(std::size_t packetSize, const platform::SocketAddress& client);

 private:
  std::uint64_t credit_ = 0;
};

// The largest block, and window of `blockSize` blocks, that one ACK from `client` pays for.
std::uint32_t LargestSinglePortBlock(const platform::SocketAddress& client);
std::uint32_t LargestSinglePortWindow(std::uint32_t blockSize,
                                      const platform::SocketAddress& client);

}  // namespace quoril
