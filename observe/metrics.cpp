#include "observe/metrics.h"

#include <cstdio>
#include <string_view>

#include "config/event_reporter.h"

namespace quoril {

namespace {

// Sums are kept in millionths, so that an atomic integer holds them.
constexpr double kSumScale = 1e6;

template <std::size_t N>
void Observe(Histogram<N>& histogram, const std::array<double, N>& bounds, double value) {
  std::size_t k = 0;
  while (k < N && value > bounds[k]) ++k;
  ++histogram.buckets[k];
  histogram.sum += static_cast<std::uint64_t>(value * kSumScale);
  ++histogram.count;
}

std::size_t EndedIndex(bool write, bool octet, std::size_t outcome) {
  return ((write ? 2 : 0) + (octet ? 1 : 0)) * kOutcomeCount + outcome;
}

// Appends exposition lines; numbers without locale or exponent surprises.
class Exposition {
 public:
  explicit Exposition(std::string& out) : out_(out) {}

  void Family(std::string_view name, std::string_view type, std::string_view help) {
    Append("# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n");
  }
  // std::to_string writes a real number as "%f" does, with six decimals.
  template <typename Number>
  void Sample(std::string_view name, std::string_view labels, Number value) {
    Append(name, labels.empty() ? "" : "{", labels, labels.empty() ? "" : "}", " ",
           std::to_string(value), "\n");
  }
  template <std::size_t N>
  void HistogramOf(std::string_view name, std::string_view help, const Histogram<N>& histogram,
                   const std::array<double, N>& bounds) {
    Family(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    std::uint64_t cumulative = 0;
    for (std::size_t k = 0; k <= N; ++k) {
      cumulative += histogram.buckets[k].load();
      std::array<char, 40> label{};
      if (k < N) {
        std::snprintf(label.data(), label.size(), "le=\"%g\"", bounds[k]);
      } else {
        std::snprintf(label.data(), label.size(), "le=\"+Inf\"");
      }
      Sample(bucket, label.data(), cumulative);
    }
    Sample(std::string(name) + "_sum", "", static_cast<double>(histogram.sum) / kSumScale);
    Sample(std::string(name) + "_count", "", histogram.count.load());
  }

 private:
  template <typename... Parts>
  void Append(const Parts&... parts) {
    ((out_ += parts), ...);
  }
  std::string& out_;
};

constexpr std::array<std::string_view, kRefusalCount> kRefusalNames = {
    "access", "missing_file", "exists", "bound_reached", "turn_waited", "port_waited"};

}  // namespace

void NoteAddressSlot(Metrics& metrics, std::uint32_t localIndex, bool serving) {
  if (localIndex >= kMaxCountedAddresses) return;
  // A new address starts its own count; the one that went is no longer listed.
  if (serving) metrics.requestsByAddress[localIndex].store(0);
  metrics.addressGone[localIndex].store(!serving);
}

void CountRequestTaken(Metrics& metrics, std::uint32_t localIndex) {
  ++metrics.requestsTaken;
  if (localIndex < metrics.requestsByAddress.size()) ++metrics.requestsByAddress[localIndex];
}

void CountRequestExpired(Metrics& metrics) {
  ++metrics.refused[static_cast<std::size_t>(Refusal::kBoundReached)];
}

void NoteRequestWait(Metrics& metrics, TransferFacts& facts, RequestWait kind) {
  if (facts.waiting == kind) return;
  if (facts.waiting == RequestWait::kTurn) --metrics.waitingForTurn;
  if (facts.waiting == RequestWait::kPort) --metrics.waitingForPort;
  if (kind == RequestWait::kTurn) ++metrics.waitingForTurn;
  if (kind == RequestWait::kPort) ++metrics.waitingForPort;
  facts.waiting = kind;
}

void CountTransferEnded(Metrics& metrics, const TransferLogEntry& entry, const TransferFacts& facts,
                        double seconds) {
  const std::size_t outcome = ClassifyOutcome(entry.description);
  const bool write = entry.opcodeSet && entry.opcode != 1;
  ++metrics.transfersEnded[EndedIndex(write, entry.binary, outcome)];
  (write ? metrics.bytesReceived : metrics.bytesSent) += facts.bytes;
  (write ? metrics.blocksReceived : metrics.blocksSent) += facts.blocks;
  metrics.retransmissions += facts.retransmissions;
  metrics.timeouts += facts.timeouts;
  const std::string_view name = OutcomeName(outcome);
  const auto refuse = [&metrics](Refusal why) { ++metrics.refused[static_cast<std::size_t>(why)]; };
  if (name == "access_denied") refuse(Refusal::kAccess);
  if (name == "file_not_found") refuse(Refusal::kMissingFile);
  if (name == "file_exists") refuse(Refusal::kExists);
  if (name == "timeout" && facts.waiting == RequestWait::kTurn) refuse(Refusal::kTurnWaited);
  if (name == "timeout" && facts.waiting == RequestWait::kPort) refuse(Refusal::kPortWaited);
  // Sizes only of transfers that negotiated them: the others keep RFC 1350's.
  if (facts.granted.present[0]) Observe(metrics.blockSize, kBlockSizeBounds, facts.blockSize);
  if (facts.granted.present[3]) Observe(metrics.windowSize, kWindowSizeBounds, facts.windowSize);
  Observe(metrics.duration, kDurationBounds, seconds);
}

bool Healthy(const ServiceReadings& readings, std::string& reason) {
  if (readings.stopping) {
    reason = "stopping";
  } else if (!readings.serving) {
    reason = "not serving";
  } else if (readings.paused) {
    reason = "paused";
  } else if (readings.addressesNotServed > 0) {
    reason = std::to_string(readings.addressesNotServed) + " local address(es) not served";
  } else {
    reason = "serving " + std::to_string(readings.served) + " address(es)";
    return true;
  }
  return false;
}

std::string ExposeMetrics(const Metrics& metrics, const ServiceReadings& readings) {
  std::string out;
  out.reserve(16 * 1024);
  Exposition x(out);
  const auto counter = [&x](std::string_view name, std::string_view help, const Counter& value) {
    x.Family(name, "counter", help);
    x.Sample(name, "", value.load());
  };

  x.Family("quoril_requests_received_total", "counter",
           "Requests taken up by a transfer, by the local address that received them.");
  for (std::size_t k = 0; k < readings.addresses.size() && k < kMaxCountedAddresses; ++k) {
    if (metrics.addressGone[k].load()) continue;
    platform::HostText host{};
    platform::FormatHost(readings.addresses[k], host);
    x.Sample("quoril_requests_received_total", std::string("local_address=\"") + host.data() + "\"",
             metrics.requestsByAddress[k].load());
  }
  counter("quoril_transfers_started_total", "Transfers begun from a request.",
          metrics.requestsTaken);

  x.Family("quoril_transfers_ended_total", "counter",
           "Transfers ended, by operation, mode and outcome.");
  for (int write = 0; write < 2; ++write) {
    for (int octet = 0; octet < 2; ++octet) {
      for (std::size_t outcome = 0; outcome < kOutcomeCount; ++outcome) {
        const std::uint64_t value =
            metrics.transfersEnded[EndedIndex(write != 0, octet != 0, outcome)].load();
        // Only what happened: a series appears with its first transfer.
        if (value == 0) continue;
        x.Sample("quoril_transfers_ended_total",
                 std::string("operation=\"") + (write != 0 ? "write" : "read") + "\",mode=\"" +
                     (octet != 0 ? "octet" : "netascii") + "\",outcome=\"" +
                     std::string(OutcomeName(outcome)) + "\"",
                 value);
      }
    }
  }
  counter("quoril_sent_bytes_total", "Data bytes sent by ended reads.", metrics.bytesSent);
  counter("quoril_received_bytes_total", "Data bytes stored by ended writes.",
          metrics.bytesReceived);
  counter("quoril_sent_blocks_total", "DATA blocks sent by ended reads, first copies.",
          metrics.blocksSent);
  counter("quoril_received_blocks_total", "DATA blocks stored by ended writes.",
          metrics.blocksReceived);
  counter("quoril_retransmissions_total", "Packets sent again by ended transfers.",
          metrics.retransmissions);
  counter("quoril_timeouts_total", "Deadlines passed without the client's packet.",
          metrics.timeouts);

  x.Family("quoril_requests_refused_total", "counter", "Requests refused, by reason.");
  for (std::size_t k = 0; k < kRefusalCount; ++k) {
    x.Sample("quoril_requests_refused_total",
             std::string("reason=\"") + std::string(kRefusalNames[k]) + "\"",
             metrics.refused[k].load());
  }

  // Ended first: a transfer counted as ended has been counted as begun, so the difference is
  // never below zero.
  std::uint64_t ended = 0;
  for (const Counter& count : metrics.transfersEnded) ended += count.load();
  const auto gauge = [&x](std::string_view name, std::string_view help, auto value) {
    x.Family(name, "gauge", help);
    x.Sample(name, "", value);
  };
  const std::uint64_t begun = metrics.requestsTaken.load();
  gauge("quoril_transfers_running", "Transfers begun and not yet ended.",
        begun > ended ? begun - ended : 0);
  gauge("quoril_requests_waiting_turn", "Requests waiting for a turn at their client's address.",
        metrics.waitingForTurn.load());
  gauge("quoril_requests_waiting_port", "Requests waiting for a port of the transfer port range.",
        metrics.waitingForPort.load());
  gauge("quoril_requests_held",
        "Requests held back while paused or at the bound (single-port mode).",
        metrics.requestsHeld.load());

  x.HistogramOf("quoril_negotiated_block_size_bytes", "Block sizes granted.", metrics.blockSize,
                kBlockSizeBounds);
  x.HistogramOf("quoril_negotiated_window_size_blocks", "Window sizes granted.", metrics.windowSize,
                kWindowSizeBounds);
  x.HistogramOf("quoril_transfer_duration_seconds", "Time from request to the transfer's end.",
                metrics.duration, kDurationBounds);

  x.Family("quoril_events_total", "counter", "Events reported, by identifier.");
  for (const EventCount& event : ReportedEvents()) {
    const std::uint32_t id = event.id.load();
    if (id == 0) continue;
    std::array<char, 24> label{};
    std::snprintf(label.data(), label.size(), "id=\"0x%08X\"", static_cast<unsigned>(id));
    x.Sample("quoril_events_total", label.data(), event.count.load());
  }

  x.Family("quoril_service_state", "gauge", "1 for the state the service is in.");
  const bool running = readings.serving && !readings.paused && !readings.stopping;
  x.Sample("quoril_service_state", "state=\"running\"", running ? 1 : 0);
  x.Sample("quoril_service_state", "state=\"paused\"",
           readings.serving && readings.paused && !readings.stopping ? 1 : 0);
  x.Sample("quoril_service_state", "state=\"stopping\"", readings.stopping ? 1 : 0);
  return out;
}

}  // namespace quoril
