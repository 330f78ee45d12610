// The server's counters, and their Prometheus text exposition. Counters are atomic and
// counted where things happen; gauges are read from the service at each scrape, so that a
// scrape never holds up a transfer.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "config/transfer_log.h"
#include "observe/outcomes.h"
#include "observe/transfer_facts.h"
#include "platform/socket_address.h"

namespace quoril {

using Counter = std::atomic<std::uint64_t>;

// A histogram of fixed upper bounds; observations beyond the last count in +Inf only.
template <std::size_t N>
struct Histogram {
  std::array<Counter, N + 1> buckets{};  // not cumulative; the last is +Inf's own
  Counter sum{0};                        // in the unit of the bounds, times kSumScale
  Counter count{0};
};

inline constexpr std::size_t kMaxCountedAddresses = 256;
inline constexpr std::array<double, 8> kBlockSizeBounds = {512,  1024, 1428,  1468,
                                                           4096, 8192, 16384, 65464};
inline constexpr std::array<double, 8> kWindowSizeBounds = {1, 2, 4, 8, 16, 32, 64, 65535};
inline constexpr std::array<double, 10> kDurationBounds = {0.01, 0.05, 0.1, 0.5, 1,
                                                           2.5,  5,    10,  30,  120};

// Why a request was refused.
enum class Refusal : std::uint8_t {
  kAccess,
  kMissingFile,
  kExists,
  kBoundReached,
  kTurnWaited,
  kPortWaited
};
inline constexpr std::size_t kRefusalCount = 6;

// Every counter of one run. Any thread.
struct Metrics {
  Counter requestsTaken{0};
  std::array<Counter, kMaxCountedAddresses> requestsByAddress{};  // by local address index
  // A slot whose address went away (FollowAddresses) is not listed until it serves another.
  std::array<std::atomic<bool>, kMaxCountedAddresses> addressGone{};
  // By operation (read 0, write 1), mode (netascii 0, octet 1) and outcome.
  std::array<Counter, 2 * 2 * kOutcomeCount> transfersEnded{};
  Counter bytesSent{0};
  Counter bytesReceived{0};
  Counter blocksSent{0};
  Counter blocksReceived{0};
  Counter retransmissions{0};
  Counter timeouts{0};
  std::array<Counter, kRefusalCount> refused{};
  std::atomic<std::int64_t> waitingForTurn{0};
  std::atomic<std::int64_t> waitingForPort{0};
  // Requests the service holds back itself while paused or at the bound (single-port mode;
  // with transfer sockets they wait in the system's queue of port 69, uncounted).
  std::atomic<std::int64_t> requestsHeld{0};
  Histogram<kBlockSizeBounds.size()> blockSize;
  Histogram<kWindowSizeBounds.size()> windowSize;
  Histogram<kDurationBounds.size()> duration;  // seconds
};

// What the service reports at a scrape.
struct ServiceReadings {
  bool serving = false;  // every port-69 socket is open and requests are taken
  bool paused = false;
  bool stopping = false;
  std::span<const platform::SocketAddress> addresses;  // by local index, gone ones too
  std::size_t served = 0;                              // how many of them are served now
  std::uint64_t addressesNotServed = 0;
};
// Reads the service at a scrape, from the endpoint's thread.
using ServiceReader = std::function<ServiceReadings()>;

// The slot `localIndex` of the local addresses serves a new address, or none from now on.
void NoteAddressSlot(Metrics& metrics, std::uint32_t localIndex, bool serving);
// A request was taken up by a transfer, at local address `localIndex`.
void CountRequestTaken(Metrics& metrics, std::uint32_t localIndex);
// A request waited at the bound on transfers until its client had asked again.
void CountRequestExpired(Metrics& metrics);
// A request waits for `kind` from now on, or no longer (kNone); keeps the waiting gauges.
void NoteRequestWait(Metrics& metrics, TransferFacts& facts, RequestWait kind);
// A transfer ended with the log line of `entry`, after `seconds`.
void CountTransferEnded(Metrics& metrics, const TransferLogEntry& entry, const TransferFacts& facts,
                        double seconds);

// The whole exposition (text format 0.0.4).
std::string ExposeMetrics(const Metrics& metrics, const ServiceReadings& readings);
// /healthz: whether the service serves every address it should, and a one-line reason.
bool Healthy(const ServiceReadings& readings, std::string& reason);

}  // namespace quoril
