// The tallies of one load-generator scenario and the JSON line that reports them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/tftp_client.h"

namespace quoril::bench {

struct ScenarioTally {
  std::string scenario;
  std::string label;  // which server was measured
  Direction direction = Direction::kDownload;
  Mode mode = Mode::kOctet;
  std::uint32_t concurrency = 0;

  std::uint64_t started = 0;
  std::uint64_t done = 0;
  std::uint64_t failed = 0;
  std::array<std::uint64_t, static_cast<std::size_t>(Failure::kCount)> failures{};
  std::uint64_t lastErrorCode = 0;  // of the last ERROR packet a server sent

  std::uint64_t bytes = 0;      // file bytes of the transfers done
  std::uint64_t wireBytes = 0;  // data bytes on the wire, all transfers
  std::uint64_t blocks = 0;     // DATA blocks moved in order, all transfers
  std::uint64_t retransmissions = 0;
  std::uint64_t strays = 0;
  // What the server granted the last transfer done: 512 and 1 without options.
  std::uint64_t blockSize = kBlockSize;
  std::uint64_t windowSize = 1;

  double wallSeconds = 0;           // first request to last end
  double clientCpuSeconds = 0;      // the load generator's own processor time
  std::vector<double> latenciesMs;  // one per transfer done
};

// Adds one ended transfer, taking `latencyMs` from its request to its end.
void CountTransfer(ScenarioTally& tally, const ClientTransfer& transfer, double latencyMs);

// The nearest-rank percentile (0 < p <= 100) of `values`, which it sorts; 0 when empty.
double Percentile(std::vector<double>& values, double p);

// One line of JSON, without a line end.
std::string FormatReport(ScenarioTally& tally);

}  // namespace quoril::bench
