#include "observe/transfer_end.h"

#include "observe/transfer_record.h"
#include "platform/network_interfaces.h"

namespace quoril {

void ObserveTransferEnd(Metrics& metrics, const char* engine, const TransferLogEntry& entry,
                        const TransferFacts& facts, const platform::SocketAddress& client,
                        std::chrono::steady_clock::duration elapsed) {
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  CountTransferEnded(metrics, entry, facts, static_cast<double>(milliseconds) / 1000.0);
  if (!TransferRecordFile().IsOpen()) return;
  // The neighbour table knows the client while it is fresh: just after its transfer it is.
  platform::HardwareAddress hardware;
  const bool known = platform::GetHardwareAddress(client, hardware) == ERROR_SUCCESS;
  const TransferParties parties{.client = client,
                                .localPort = kRequestPort,
                                .hardware = known ? &hardware : nullptr,
                                .engine = engine};
  TransferRecordFile().Append(
      ComposeTransferRecord(entry, facts, parties, static_cast<std::uint64_t>(milliseconds)));
}

}  // namespace quoril
