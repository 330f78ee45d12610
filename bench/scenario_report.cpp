#include "bench/scenario_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quoril::bench {

namespace {

void AppendField(std::string& out, const char* name, const std::string& text) {
  out += out.empty() ? "{" : ",";
  out += '"';
  out += name;
  out += "\":";
  out += text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
  return text;
}

std::string Count(std::uint64_t value) {
  return std::to_string(value);
}

}  // namespace

void CountTransfer(ScenarioTally& tally, const ClientTransfer& transfer, double latencyMs) {
  tally.wireBytes += transfer.wireBytes;
  // An upload's block in flight counts once the server has acknowledged it.
  const bool lastAcknowledged =
      transfer.direction == Direction::kDownload || transfer.state == State::kDone;
  tally.blocks += lastAcknowledged || transfer.block == 0 ? transfer.block : transfer.block - 1;
  tally.retransmissions += transfer.retransmissions;
  tally.strays += transfer.strays;
  if (transfer.state == State::kDone) {
    ++tally.done;
    tally.bytes += transfer.offset;
    tally.blockSize = transfer.blockSize;
    tally.windowSize = transfer.windowSize;
    tally.latenciesMs.push_back(latencyMs);
    return;
  }
  ++tally.failed;
  ++tally.failures[static_cast<std::size_t>(transfer.failure)];
  if (transfer.failure == Failure::kServerError) tally.lastErrorCode = transfer.errorCode;
}

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

std::string FormatReport(ScenarioTally& tally) {
  std::string out;
  const double wall = tally.wallSeconds > 0 ? tally.wallSeconds : 0;
  AppendField(out, "scenario", Quoted(tally.scenario));
  AppendField(out, "label", Quoted(tally.label));
  AppendField(out, "op", Quoted(tally.direction == Direction::kDownload ? "read" : "write"));
  AppendField(out, "mode", Quoted(tally.mode == Mode::kOctet ? "octet" : "netascii"));
  AppendField(out, "concurrency", Count(tally.concurrency));
  AppendField(out, "started", Count(tally.started));
  AppendField(out, "done", Count(tally.done));
  AppendField(out, "failed", Count(tally.failed));
  std::string failures = "{";
  for (std::size_t i = 1; i < tally.failures.size(); ++i) {
    if (tally.failures[i] == 0) continue;
    if (failures.size() > 1) failures += ',';
    failures +=
        Quoted(std::string(FailureName(static_cast<Failure>(i)))) + ":" + Count(tally.failures[i]);
  }
  AppendField(out, "failures", failures + "}");
  if (tally.lastErrorCode != 0) AppendField(out, "error_code", Count(tally.lastErrorCode));
  AppendField(out, "bytes", Count(tally.bytes));
  AppendField(out, "wire_bytes", Count(tally.wireBytes));
  AppendField(out, "blocks", Count(tally.blocks));
  AppendField(out, "wall_s", Number(wall));
  AppendField(out, "transfers_per_s", Number(wall > 0 ? tally.done / wall : 0));
  AppendField(out, "mib_per_s", Number(wall > 0 ? tally.bytes / wall / (1024.0 * 1024.0) : 0));
  AppendField(out, "p50_ms", Number(Percentile(tally.latenciesMs, 50)));
  AppendField(out, "p99_ms", Number(Percentile(tally.latenciesMs, 99)));
  AppendField(out, "max_ms", Number(Percentile(tally.latenciesMs, 100)));
  AppendField(out, "retransmissions", Count(tally.retransmissions));
  AppendField(out, "strays", Count(tally.strays));
  AppendField(out, "blksize", Count(tally.blockSize));
  AppendField(out, "windowsize", Count(tally.windowSize));
  AppendField(out, "client_cpu_s", Number(tally.clientCpuSeconds));
  return out + "}";
}

}  // namespace quoril::bench
