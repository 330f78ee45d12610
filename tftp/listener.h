// The listener: start-up, the receive loop on every port-69 socket, hand-over of each
// request to a transfer thread, and shutdown.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "tftp/packets.h"

namespace quoril {

inline constexpr std::uint16_t kTftpPort = 69;
inline constexpr std::uint32_t kMaxLocalAddresses = platform::PortSocketSet::kCapacity;
// IPv4 addresses beyond the first 50 are not served; IPv6 ones fill the rest of the table.
// Which are first: see EnumerateLocalAddresses.
inline constexpr std::uint32_t kMaxIPv4Addresses = 50;
static_assert(kMaxIPv4Addresses < kMaxLocalAddresses);

// Written by the listener during start-up only, before any transfer thread exists; read
// without a lock afterwards. The service control reads `count` and reaches `sockets` from
// its own thread.
struct LocalAddressTable {
  std::atomic<std::uint32_t> count{0};
  std::array<platform::SocketAddress, kMaxLocalAddresses> addresses{};  // port 0
  platform::PortSocketSet sockets;  // sockets[k] bound to addresses[k], port 69
  std::array<char, platform::kMaxPath> hostName{};
};

// One received datagram on its way from the listener to its transfer thread.
struct RequestRecord {
  std::array<std::uint8_t, kMaxPacket> datagram;  // bytes after the datagram are not cleared
  platform::SocketAddress clientAddress;
  std::uint16_t localIndex;
  // The datagram's size, so that options are never read from the bytes after it.
  std::uint16_t length;
  // When it arrived on port 69, so that a request held too long is let go (RequestExpired).
  platform::ArrivalClock::time_point arrived;
};
static_assert(sizeof(RequestRecord) == 560);

// Four records at first, eight at most (2144 and 4288 bytes while a record held only an
// IPv4 address and no arrival): the bound on requests in hand-over is counted in records.
inline constexpr std::size_t kRequestHeapInitialSize = 4 * sizeof(RequestRecord);
inline constexpr std::size_t kRequestHeapMaximumSize = 8 * sizeof(RequestRecord);

extern LocalAddressTable gLocalAddressTable;
// Never destroyed: a transfer thread still running while the process ends may yet free
// its record.
extern platform::PrivateHeap& gRequestHeap;
extern std::atomic<std::int32_t> RunningTransfers;

// How the listener reaches the service control. ServiceMain sets them before it starts
// the listener; in console mode they stay null: there is no status handle (every report
// is refused) and no StopEvent.
struct ServiceHooks {
  int (*statusReporter)(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                        std::uint32_t waitHint) = nullptr;
  // Once every port-69 socket is bound and the requests are about to be taken: the service
  // runs only from here on, so that a start that cannot serve never looks like one that can.
  void (*reportRunning)() = nullptr;
  // The listener's last act. `failureEvent` is the event of the failure that ended it, 0
  // when a stop did.
  void (*setStopEvent)(std::uint32_t failureEvent) = nullptr;
};
extern ServiceHooks gServiceHooks;

// The settings, then what they set up, in this order: DefaultDirectory becomes the current
// directory, the transfer log opens when logging is on (its name resolves against that
// directory), then the log lock and the start banner on every outcome. Answers 1 or 0.
int SetUpFromSettings();

// The listener's thread routine; the argument is not used. Answers 0 once the shutdown is
// complete.
std::uint32_t Listener(void* parameter);

// Fills hostName, addresses and count: the IPv4 addresses, then the IPv6 ones when
// EnableIPv6 is set, each family loopback first, then link-local, then in the system's order.
// Each address beyond the table's room is left out and reported (EVENT_ADDRESS_NOT_SERVED).
int EnumerateLocalAddresses();

// A UDP socket bound to `local` (its address and port); answers 1 or 0.
int OpenUdpSocket(platform::UdpSocket& socket, const platform::SocketAddress& local);

}  // namespace quoril
