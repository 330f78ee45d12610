// The transfer record file: one JSON object per line for each ended transfer, beside the
// fixed-column log, so that a machine's boots can be followed by its hardware address.
#pragma once

#include <string>

#include "config/appended_file.h"
#include "config/transfer_log.h"
#include "observe/transfer_facts.h"
#include "platform/network_interfaces.h"
#include "platform/socket_address.h"

namespace quoril {

// Who took part in a transfer, beside the texts of its log entry.
struct TransferParties {
  platform::SocketAddress client;
  std::uint16_t localPort = 0;                          // where the request arrived
  const platform::HardwareAddress* hardware = nullptr;  // null where the system knows none
  const char* engine = "";
};

// The record of one ended transfer, one line with its line end.
std::string ComposeTransferRecord(const TransferLogEntry& entry, const TransferFacts& facts,
                                  const TransferParties& parties, std::uint64_t milliseconds);

// Opens `path` (against the current directory) as TransferRecordFile; EVENT_LOG_FILE_ACCESS,
// with the reason, when it cannot be, and the service goes on without records. Answers
// whether it is open.
bool OpenTransferRecordFile(const std::string& path);
// The file of the records, one Append each.
AppendedFile& TransferRecordFile();

}  // namespace quoril
