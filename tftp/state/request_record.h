// The server's local addresses with their port-69 sockets, and the record in which a request
// read on port 69 travels to its transfer.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/sockets.h"
#include "tftp/protocol/packets.h"

namespace quoril {

inline constexpr std::uint16_t kTftpPort = 69;
inline constexpr std::uint32_t kMaxLocalAddresses = platform::PortSocketSet::kCapacity;
// IPv4 addresses beyond the first 50 are not served; IPv6 ones fill the rest of the table.
// Which are first: see EnumerateLocalAddresses.
inline constexpr std::uint32_t kMaxIPv4Addresses = 50;
static_assert(kMaxIPv4Addresses < kMaxLocalAddresses);

// Written by the listener during start-up only, before any transfer exists; read without a
// lock afterwards. The service control reads `count` and reaches `sockets` from its own thread.
// With FollowAddresses, the follower (AddressFollower) opens and closes slots after the start:
// `count` then counts the slots ever used, of which some may be closed.
struct LocalAddressTable {
  std::atomic<std::uint32_t> count{0};
  // Moves on each change of the follower, which then wakes the loops to take it up.
  std::atomic<std::uint32_t> generation{0};
  std::array<platform::SocketAddress, kMaxLocalAddresses> addresses{};  // port 0
  platform::PortSocketSet sockets;  // sockets[k] bound to addresses[k], port 69
};

// One received datagram on its way from port 69 to its transfer.
struct RequestRecord {
  std::array<std::uint8_t, kMaxPacket> datagram;  // bytes after the datagram are not cleared
  platform::SocketAddress clientAddress;
  // The address that received it, as it was then: the follower may give its slot in the
  // table to another address before the transfer begins.
  platform::SocketAddress localAddress;
  std::uint16_t localIndex;
  // The datagram's size, so that options are never read from the bytes after it.
  std::uint16_t length;
  // When it arrived on port 69, so that a request held too long is let go (RequestExpired).
  platform::ArrivalClock::time_point arrived;
};
static_assert(sizeof(RequestRecord) == 584);

// Four records at first, eight at most (2144 and 4288 bytes while a record held only an
// IPv4 address and no arrival): the bound on requests in hand-over is counted in records.
inline constexpr std::size_t kRequestHeapInitialSize = 4 * sizeof(RequestRecord);
inline constexpr std::size_t kRequestHeapMaximumSize = 8 * sizeof(RequestRecord);

}  // namespace quoril
