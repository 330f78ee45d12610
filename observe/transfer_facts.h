// What a transfer counts while it runs, beside its log entry, for its record and the metrics.
#pragma once

#include <array>
#include <cstdint>

namespace quoril {

// blksize, timeout, tsize, windowsize: the order of the option table.
inline constexpr std::size_t kKnownOptions = 4;
inline constexpr std::array<const char*, kKnownOptions> kKnownOptionNames = {"blksize", "timeout",
                                                                             "tsize", "windowsize"};

struct OptionValues {
  std::array<std::uint64_t, kKnownOptions> values{};
  std::array<bool, kKnownOptions> present{};
};

// What a request waits for before its transfer can begin.
enum class RequestWait : std::uint8_t { kNone, kTurn, kPort };

// Written only by the thread that drives the transfer.
struct TransferFacts {
  std::uint64_t bytes = 0;            // data sent (read) or stored (write), first copies only
  std::uint32_t blocks = 0;           // DATA blocks sent or stored, first copies only
  std::uint32_t retransmissions = 0;  // packets sent again
  std::uint32_t timeouts = 0;         // deadlines passed without the client's packet
  std::uint16_t blockSize = 512;      // as negotiated
  std::uint16_t windowSize = 1;
  OptionValues asked;
  OptionValues granted;
  RequestWait waiting = RequestWait::kNone;  // counted in the waiting gauges while not kNone
};

}  // namespace quoril
