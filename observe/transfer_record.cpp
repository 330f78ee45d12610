#include "observe/transfer_record.h"

#include <nlohmann/json.hpp>

#include "config/event_reporter.h"
#include "observe/outcomes.h"
#include "platform/failure_detail.h"
#include "platform/files.h"

namespace quoril {

namespace {

nlohmann::ordered_json OptionsOf(const OptionValues& options) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (std::size_t k = 0; k < kKnownOptions; ++k) {
    if (options.present[k]) object[kKnownOptionNames[k]] = options.values[k];
  }
  return object;
}

void ReportRecordFileFailure(const std::string& reason) {
  platform::NoteFailureDetail(reason);
  EventReporter(EVENT_LOG_FILE_ACCESS);
}

}  // namespace

std::string ComposeTransferRecord(const TransferLogEntry& entry, const TransferFacts& facts,
                                  const TransferParties& parties, std::uint64_t milliseconds) {
  // In the order of the log line, then what the log does not show.
  nlohmann::ordered_json record;
  record["date"] = TextOf(entry.date);
  record["time"] = TextOf(entry.time);
  record["client_address"] = TextOf(entry.clientText);
  record["client_port"] = parties.client.Port();
  record["local_address"] = TextOf(entry.localText);
  record["local_port"] = parties.localPort;
  record["file"] = TextOf(entry.fullPath);
  if (entry.askedName[0] != '\0') record["asked_name"] = TextOf(entry.askedName);
  record["operation"] = !entry.opcodeSet ? "" : entry.opcode == 1 ? "read" : "write";
  record["mode"] = entry.binary ? "octet" : "netascii";
  record["outcome"] = std::string(OutcomeName(ClassifyOutcome(entry.description)));
  record["description"] = TextOf(entry.description);
  record["options_asked"] = OptionsOf(facts.asked);
  record["options_granted"] = OptionsOf(facts.granted);
  record["bytes"] = facts.bytes;
  record["blocks"] = facts.blocks;
  record["retransmissions"] = facts.retransmissions;
  record["timeouts"] = facts.timeouts;
  record["duration_ms"] = milliseconds;
  record["engine"] = parties.engine;
  if (parties.hardware != nullptr && parties.hardware->length > 0) {
    record["hardware_address"] = FormatHardwareText(*parties.hardware, ':');
  } else {
    record["hardware_address"] = nullptr;
  }
  // A client's name may hold any bytes: what is no UTF-8 shows as U+FFFD, never as a throw.
  return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool OpenTransferRecordFile(const std::string& path) {
  std::array<char, platform::kMaxPath> fullPath{};
  std::uint32_t length = 0;
  platform::GetFullPathName(path.c_str(), fullPath, length);
  if (length == 0 || length >= fullPath.size()) {
    ReportRecordFileFailure("the transfer record file " + path + " has no usable full path");
    return false;
  }
  bool existed = false;
  if (const Win32Error error = TransferRecordFile().Open(fullPath.data(), existed);
      error != ERROR_SUCCESS) {
    ReportRecordFileFailure("cannot open the transfer record file " + std::string(fullPath.data()) +
                            ": " + platform::DescribeError(error));
    return false;
  }
  return true;
}

AppendedFile& TransferRecordFile() {
  return LastingFile<struct TransferRecordTag>();
}

}  // namespace quoril
