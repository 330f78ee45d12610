#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "observe/metrics.h"
#include "observe/metrics_endpoint.h"
#include "observe/outcomes.h"
#include "observe/transfer_record.h"
#include "platform/stream_sockets.h"
#include "platform/strings.h"
#include "resources/string_ids.h"

namespace quoril {
namespace {

template <std::size_t N>
void SetText(std::array<char, N>& field, const char* text) {
  field.fill('\0');
  std::memcpy(field.data(), text, std::min(std::strlen(text), N - 1));
}

TransferLogEntry EntryWith(std::uint32_t descriptionId, bool write, bool octet) {
  TransferLogEntry entry;
  entry.opcode = write ? 2 : 1;
  entry.opcodeSet = true;
  entry.binary = octet;
  entry.failed = descriptionId != IDS_TRANSFER_SUCCESSFUL;
  platform::LoadString(descriptionId, entry.description);
  return entry;
}

TEST(Outcomes, EachDescriptionHasItsName) {
  const struct {
    const char* description;
    const char* name;
  } rows[] = {
      {"", "none"}, {"Undefined: GetLastError = 87", "undefined"}, {"no such text", "undefined"}};
  for (const auto& row : rows) {
    Description description{};
    SetText(description, row.description);
    EXPECT_EQ(OutcomeName(ClassifyOutcome(description)), row.name) << row.description;
  }
  const std::pair<std::uint32_t, const char*> loaded[] = {
      {IDS_TRANSFER_SUCCESSFUL, "success"},
      {IDS_FILE_NOT_FOUND, "file_not_found"},
      {IDS_TIMEOUT, "timeout"},
      {IDS_OPTIONS_DECLINED, "options_declined"},
      {IDS_SUPERSEDED, "superseded"},
      {IDS_ACCESS_DENIED, "access_denied"}};
  for (const auto& [id, name] : loaded) {
    EXPECT_EQ(OutcomeName(ClassifyOutcome(EntryWith(id, false, true).description)), name);
  }
}

TEST(Metrics, EndedTransfersShowInTheExposition) {
  Metrics metrics;
  for (int k = 0; k < 5; ++k) CountRequestTaken(metrics, 0);
  TransferFacts facts;
  facts.bytes = 1000;
  facts.blocks = 2;
  facts.retransmissions = 1;
  facts.granted.present[0] = true;
  facts.blockSize = 1468;
  CountTransferEnded(metrics, EntryWith(IDS_TRANSFER_SUCCESSFUL, false, true), facts, 0.2);
  CountTransferEnded(metrics, EntryWith(IDS_FILE_NOT_FOUND, false, false), TransferFacts{}, 0.0);
  CountTransferEnded(metrics, EntryWith(IDS_TRANSFER_SUCCESSFUL, true, true), facts, 3);
  TransferFacts waited;
  NoteRequestWait(metrics, waited, RequestWait::kTurn);
  EXPECT_EQ(metrics.waitingForTurn, 1);
  CountTransferEnded(metrics, EntryWith(IDS_TIMEOUT, false, true), waited, 3);
  NoteRequestWait(metrics, waited, RequestWait::kNone);
  EXPECT_EQ(metrics.waitingForTurn, 0);

  const std::string text = ExposeMetrics(metrics, ServiceReadings{});
  for (const char* line : {
           "quoril_transfers_ended_total{operation=\"read\",mode=\"octet\",outcome=\"success\"} "
           "1\n",
           "quoril_transfers_ended_total{operation=\"read\",mode=\"netascii\",outcome=\"file_not_"
           "found\"} 1\n",
           "quoril_transfers_ended_total{operation=\"write\",mode=\"octet\",outcome=\"success\"} "
           "1\n",
           "quoril_sent_bytes_total 1000\n",
           "quoril_received_bytes_total 1000\n",
           "quoril_retransmissions_total 2\n",
           "quoril_requests_refused_total{reason=\"missing_file\"} 1\n",
           "quoril_requests_refused_total{reason=\"turn_waited\"} 1\n",
           "quoril_negotiated_block_size_bytes_bucket{le=\"1428\"} 0\n",
           "quoril_negotiated_block_size_bytes_bucket{le=\"1468\"} 2\n",
           "quoril_negotiated_block_size_bytes_bucket{le=\"+Inf\"} 2\n",
           "quoril_transfer_duration_seconds_bucket{le=\"0.5\"} 2\n",
           "quoril_transfer_duration_seconds_count 4\n",
           "quoril_transfers_running 1\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST(Metrics, AnAddressThatWentIsNotListedAndOneThatCameCountsAfresh) {
  Metrics metrics;
  const std::array addresses{platform::SocketAddress::FromIPv4(0x0100007f, 0),
                             platform::SocketAddress::FromIPv4(0x0500000a, 0)};
  ServiceReadings readings;
  readings.addresses = addresses;
  CountRequestTaken(metrics, 1);
  NoteAddressSlot(metrics, 1, false);
  EXPECT_EQ(ExposeMetrics(metrics, readings).find("10.0.0.5"), std::string::npos);
  NoteAddressSlot(metrics, 1, true);
  EXPECT_NE(ExposeMetrics(metrics, readings)
                .find("quoril_requests_received_total{local_address=\"10.0.0.5\"} 0\n"),
            std::string::npos);
}

TEST(MetricsEndpoint, AnswersTwoPathsAndNothingElse) {
  const Metrics metrics;
  ServiceReadings serving;
  serving.serving = true;
  ServiceReadings paused = serving;
  paused.paused = true;
  const struct {
    const char* head;
    const ServiceReadings& readings;
    const char* starts;
  } rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", serving,
       "HTTP/1.1 200 OK\r\nContent-Type: "
       "text/plain; version=0.0.4"},
      {"GET /healthz HTTP/1.0\r\n\r\n", serving, "HTTP/1.1 200 OK"},
      {"GET /healthz HTTP/1.1\r\n\r\n", paused, "HTTP/1.1 503 Service Unavailable"},
      {"GET /metrics/x HTTP/1.1\r\n\r\n", serving, "HTTP/1.1 404 Not Found"},
      {"POST /metrics HTTP/1.1\r\n\r\n", serving, "HTTP/1.1 404 Not Found"},
      {"GET /metrics\r\n\r\n", serving, ""},
      {"\x16\x03\x01 TLS\r\n\r\n", serving, ""},
  };
  for (const auto& row : rows) {
    const std::string answer = AnswerRequest(row.head, metrics, row.readings);
    EXPECT_EQ(answer.substr(0, std::strlen(row.starts)), row.starts) << row.head;
    EXPECT_EQ(answer.empty(), *row.starts == '\0') << row.head;
  }
}

TEST(MetricsEndpoint, AddressesAreNumericWithAPort) {
  const struct {
    const char* text;
    bool valid;
    bool ipv6;
    std::uint16_t port;
  } rows[] = {
      {"127.0.0.1:9469", true, false, 9469}, {"[::1]:9469", true, true, 9469},
      {"0.0.0.0:1", true, false, 1},         {"127.0.0.1", false, false, 0},
      {"127.0.0.1:0", false, false, 0},      {"127.0.0.1:65536", false, false, 0},
      {"::1:9469", false, false, 0},         {"localhost:9469", false, false, 0},
      {"[::1]9469", false, false, 0},        {"127.0.0.1:94x", false, false, 0},
      {"[127.0.0.1]:9469", false, false, 0},
  };
  for (const auto& row : rows) {
    platform::SocketAddress address;
    EXPECT_EQ(platform::ParseEndpoint(row.text, address) == ERROR_SUCCESS, row.valid) << row.text;
    if (!row.valid) continue;
    EXPECT_EQ(address.IsIPv6(), row.ipv6) << row.text;
    EXPECT_EQ(address.Port(), row.port) << row.text;
  }
}

TEST(TransferRecord, OneLineOfJsonWithWhatTheLogSays) {
  TransferLogEntry entry = EntryWith(IDS_TRANSFER_SUCCESSFUL, false, true);
  SetText(entry.date, "12/08/26");
  SetText(entry.time, "05:42:45");
  SetText(entry.clientText, "10.0.0.7");
  SetText(entry.fullPath, "/srv/tftp/pxe\xff\n.0");
  TransferFacts facts;
  facts.bytes = 1234;
  facts.asked.present[2] = true;  // tsize 0
  facts.granted.present[2] = true;
  facts.granted.values[2] = 1234;
  platform::HardwareAddress hardware;
  hardware.length = 6;
  hardware.bytes = {0x52, 0x54, 0x00, 0xab, 0x0c, 0x01};
  TransferParties parties;
  parties.client = platform::SocketAddress::FromIPv4(0x0700000A, 2070);
  parties.localPort = 69;
  parties.hardware = &hardware;
  parties.engine = "threads";
  const std::string line = ComposeTransferRecord(entry, facts, parties, 15);
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  const nlohmann::json record = nlohmann::json::parse(line);
  EXPECT_EQ(record["time"], "05:42:45");
  EXPECT_EQ(record["client_port"], 2070);
  EXPECT_EQ(record["file"], "/srv/tftp/pxe\xEF\xBF\xBD\n.0");  // U+FFFD for the stray byte
  EXPECT_EQ(record["outcome"], "success");
  EXPECT_EQ(record["options_asked"], nlohmann::json({{"tsize", 0}}));
  EXPECT_EQ(record["options_granted"], nlohmann::json({{"tsize", 1234}}));
  EXPECT_EQ(record["hardware_address"], "52:54:00:ab:0c:01");
  EXPECT_EQ(record["duration_ms"], 15);
  parties.hardware = nullptr;
  EXPECT_TRUE(
      nlohmann::json::parse(ComposeTransferRecord(entry, facts, parties, 0))["hardware_address"]
          .is_null());
}

}  // namespace
}  // namespace quoril
