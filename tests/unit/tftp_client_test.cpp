#include "bench/tftp_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace quoril::bench {
namespace {

constexpr std::uint16_t kServerTid = 40000;
constexpr std::uint32_t kRetries = 3;

using Bytes = std::vector<std::uint8_t>;

Bytes FromText(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Packet(std::uint16_t opcode, std::uint16_t number, const Bytes& data = {}) {
  // Reserved at once: growing a 4-byte vector draws a false -Warray-bounds from GCC 12.
  Bytes packet;
  packet.reserve(4 + data.size());
  packet.push_back(static_cast<std::uint8_t>(opcode >> 8));
  packet.push_back(static_cast<std::uint8_t>(opcode));
  packet.push_back(static_cast<std::uint8_t>(number >> 8));
  packet.push_back(static_cast<std::uint8_t>(number));
  packet.insert(packet.end(), data.begin(), data.end());
  return packet;
}

Bytes Sent(const ClientTransfer& transfer) {
  return Bytes(transfer.packet.begin(), transfer.packet.begin() + transfer.packetLength);
}

Reaction Deliver(ClientTransfer& transfer, const Bytes& datagram, std::uint16_t port = kServerTid) {
  return OnDatagram(transfer, datagram, port, kRetries);
}

ClientTransfer StartDownload(const Bytes& source, Mode mode = Mode::kOctet) {
  ClientTransfer transfer;
  EXPECT_TRUE(StartTransfer(transfer, Direction::kDownload, mode, "f.bin", source, kRetries));
  return transfer;
}

// Serves `wire` in 512-byte DATA blocks numbered as a server numbers them (wrapping past
// 65535), checking that every block is acknowledged; answers the transfer's end state.
State ServeAll(ClientTransfer& transfer, const Bytes& wire) {
  std::uint64_t block = 0;
  std::size_t at = 0;
  while (transfer.state == State::kRunning) {
    const std::size_t n = std::min<std::size_t>(512, wire.size() - at);
    const auto number = static_cast<std::uint16_t>(++block);
    const Reaction reaction =
        Deliver(transfer, Packet(kOpData, number, Bytes(wire.begin() + at, wire.begin() + at + n)));
    at += n;
    if (transfer.state == State::kFailed) break;
    EXPECT_TRUE(reaction.sendPacket);
    EXPECT_EQ(Sent(transfer), Packet(kOpAck, number));
    if (n < 512) break;
  }
  return transfer.state;
}

Bytes Request(std::uint16_t opcode, const std::string& name, const std::string& mode) {
  Bytes request = Packet(opcode, 0);
  request.resize(2);
  request.insert(request.end(), name.begin(), name.end());
  request.push_back(0);
  request.insert(request.end(), mode.begin(), mode.end());
  request.push_back(0);
  return request;
}

TEST(TftpClient, RequestsCarryNameAndMode) {
  const Bytes source = FromText("x");
  const struct {
    Direction direction;
    Mode mode;
    Bytes expected;
  } rows[] = {
      {Direction::kDownload, Mode::kOctet, Request(kOpRrq, "f.b", "octet")},
      {Direction::kDownload, Mode::kNetascii, Request(kOpRrq, "f.b", "netascii")},
      {Direction::kUpload, Mode::kOctet, Request(kOpWrq, "f.b", "octet")},
  };
  for (const auto& row : rows) {
    ClientTransfer transfer;
    ASSERT_TRUE(StartTransfer(transfer, row.direction, row.mode, "f.b", source, kRetries));
    EXPECT_EQ(Sent(transfer), row.expected);
    EXPECT_EQ(transfer.state, State::kRunning);
  }
}

TEST(TftpClient, NameThatDoesNotFitInOnePacketIsRefused) {
  ClientTransfer transfer;
  EXPECT_FALSE(StartTransfer(transfer, Direction::kDownload, Mode::kOctet, std::string(510, 'n'),
                             {}, kRetries));
  EXPECT_EQ(transfer.failure, Failure::kLocal);
  EXPECT_TRUE(StartTransfer(transfer, Direction::kDownload, Mode::kOctet,
                            std::string(516 - 2 - 1 - 6, 'n'), {}, kRetries));
}

TEST(TftpClient, DownloadsOfEverySizeEndWithTheShortBlock) {
  for (const std::size_t size : {0u, 1u, 511u, 512u, 513u, 1024u, 5000u}) {
    Bytes source(size);
    for (std::size_t i = 0; i < size; ++i) source[i] = static_cast<std::uint8_t>(i * 7);
    ClientTransfer transfer = StartDownload(source);
    EXPECT_EQ(ServeAll(transfer, source), State::kDone) << size;
    EXPECT_EQ(transfer.offset, size);
    EXPECT_EQ(transfer.block, size / 512 + 1) << size;
  }
}

TEST(TftpClient, BlockNumbersWrapPastTheLastOne) {
  // 65536 full blocks and a short one: the wire numbers go 65535, 0, 1.
  Bytes source(65536 * 512 + 100, 0x5A);
  source.back() = 0x01;
  ClientTransfer transfer = StartDownload(source);
  EXPECT_EQ(ServeAll(transfer, source), State::kDone);
  EXPECT_EQ(transfer.block, 65537u);
  EXPECT_EQ(Sent(transfer), Packet(kOpAck, 1));
}

TEST(TftpClient, DownloadThatDiffersFromTheSourceFails) {
  const Bytes source(1000, 'a');
  const struct {
    const char* name;
    Bytes wire;
  } rows[] = {
      {"one byte wrong",
       [&] {
         Bytes w = source;
         w[700] = 'b';
         return w;
       }()},
      {"a byte short", Bytes(999, 'a')},
      {"a byte too many", Bytes(1001, 'a')},
      {"a block too many", Bytes(1536, 'a')},
      {"empty", Bytes()},
  };
  for (const auto& row : rows) {
    ClientTransfer transfer = StartDownload(source);
    EXPECT_EQ(ServeAll(transfer, row.wire), State::kFailed) << row.name;
    EXPECT_EQ(transfer.failure, Failure::kMismatch) << row.name;
  }
}

TEST(TftpClient, RepeatedBlockIsIgnoredAndAnyOtherNumberFails) {
  const Bytes source(2000, 'q');
  ClientTransfer transfer = StartDownload(source);
  const Bytes block1 = Packet(kOpData, 1, Bytes(512, 'q'));
  EXPECT_TRUE(Deliver(transfer, block1).progressed);
  const Reaction repeat = Deliver(transfer, block1);
  EXPECT_FALSE(repeat.sendPacket);
  EXPECT_FALSE(repeat.progressed);
  EXPECT_EQ(transfer.state, State::kRunning);
  EXPECT_EQ(transfer.offset, 512u);

  Deliver(transfer, Packet(kOpData, 3, Bytes(512, 'q')));
  EXPECT_EQ(transfer.failure, Failure::kBadBlock);
}

TEST(TftpClient, FirstAnswerFixesTheServersPortAndStrangersAreToldOff) {
  const Bytes source(600, 's');
  ClientTransfer transfer = StartDownload(source);
  // Before the first DATA, an ACK from anywhere is no answer to a read request.
  EXPECT_FALSE(Deliver(transfer, Packet(kOpAck, 0), 1234).answerStray);
  EXPECT_EQ(transfer.serverPort, 0);

  Deliver(transfer, Packet(kOpData, 1, Bytes(512, 's')));
  EXPECT_EQ(transfer.serverPort, kServerTid);
  // A second session of the server (for a repeated request) sends its own DATA 1.
  const Reaction stray = Deliver(transfer, Packet(kOpData, 1, Bytes(512, 's')), kServerTid + 1);
  EXPECT_TRUE(stray.answerStray);
  EXPECT_FALSE(stray.sendPacket);
  EXPECT_EQ(transfer.block, 1u);
  // An ERROR from a stranger is never answered.
  EXPECT_FALSE(Deliver(transfer, Packet(kOpError, 5), kServerTid + 1).answerStray);
  EXPECT_EQ(transfer.strays, 2u);

  Deliver(transfer, Packet(kOpData, 2, Bytes(88, 's')));
  EXPECT_EQ(transfer.state, State::kDone);
}

TEST(TftpClient, ServerErrorEndsTheTransferWithItsCode) {
  ClientTransfer transfer = StartDownload(FromText("abc"));
  Deliver(transfer, Packet(kOpError, 1, FromText(std::string("File not found\0", 15))));
  EXPECT_EQ(transfer.state, State::kFailed);
  EXPECT_EQ(transfer.failure, Failure::kServerError);
  EXPECT_EQ(transfer.errorCode, 1);
}

TEST(TftpClient, PacketsThatHaveNoPlaceFailTheTransfer) {
  const Bytes source(600, 'm');
  const struct {
    const char* name;
    Bytes datagram;
    Failure failure;
  } rows[] = {
      {"more than 512 data bytes", Packet(kOpData, 2, Bytes(513, 'm')), Failure::kMalformed},
      {"ACK in a download", Packet(kOpAck, 1), Failure::kMalformed},
  };
  for (const auto& row : rows) {
    ClientTransfer transfer = StartDownload(source);
    Deliver(transfer, Packet(kOpData, 1, Bytes(512, 'm')));
    Deliver(transfer, row.datagram);
    EXPECT_EQ(transfer.failure, row.failure) << row.name;
  }
  ClientTransfer transfer = StartDownload(source);
  EXPECT_FALSE(Deliver(transfer, Bytes{0, 3, 0}).sendPacket);  // too short to be anything
  EXPECT_EQ(transfer.state, State::kRunning);
}

TEST(TftpClient, TimeoutsResendTheLastPacketUntilRetriesRunOut) {
  const Bytes source(1000, 't');
  ClientTransfer transfer = StartDownload(source);
  const Bytes request = Sent(transfer);
  for (std::uint32_t i = 0; i < kRetries; ++i) {
    EXPECT_TRUE(OnTimeout(transfer).sendPacket);
    EXPECT_EQ(Sent(transfer), request);
  }
  // Progress renews the retries: the ACK is resent as often again.
  Deliver(transfer, Packet(kOpData, 1, Bytes(512, 't')));
  for (std::uint32_t i = 0; i < kRetries; ++i) {
    EXPECT_TRUE(OnTimeout(transfer).sendPacket);
    EXPECT_EQ(Sent(transfer), Packet(kOpAck, 1));
  }
  EXPECT_FALSE(OnTimeout(transfer).sendPacket);
  EXPECT_EQ(transfer.failure, Failure::kTimeout);
  EXPECT_EQ(transfer.retransmissions, 2 * kRetries);
}

TEST(TftpClient, NetasciiIsCheckedInItsStoredForm) {
  const struct {
    const char* name;
    std::string file;
    std::vector<std::string> blocks;  // wire data per DATA block; the last is short
    bool done;
  } rows[] = {
      {"line ends", "a\nb\n", {"a\r\nb\r\n"}, true},
      {"bare CR", "a\rb", {std::string("a\r\0b", 4)}, true},
      {"CR LF split across blocks",
       std::string(511, 'x') + "\ny",
       {std::string(511, 'x') + "\r", "\ny"},
       true},
      {"file ending in a bare CR", "ab\r", {"ab\r"}, true},
      {"CR then another byte", "a\rb", {"a\rb"}, false},
      {"LF without CR is taken as it is", "a\nb", {"a\nb"}, true},
      {"missing line end", "a\n", {"a"}, false},
  };
  for (const auto& row : rows) {
    const Bytes source = FromText(row.file);
    ClientTransfer transfer = StartDownload(source, Mode::kNetascii);
    std::uint16_t number = 0;
    for (const std::string& block : row.blocks) {
      Deliver(transfer, Packet(kOpData, ++number, FromText(block)));
    }
    EXPECT_EQ(transfer.state, row.done ? State::kDone : State::kFailed) << row.name;
    if (!row.done) {
      EXPECT_EQ(transfer.failure, Failure::kMismatch) << row.name;
    }
  }
}

TEST(TftpClient, UploadSendsTheSourceBlockByBlock) {
  for (const std::size_t size : {0u, 100u, 512u, 1300u}) {
    Bytes source(size);
    for (std::size_t i = 0; i < size; ++i) source[i] = static_cast<std::uint8_t>(i);
    ClientTransfer transfer;
    ASSERT_TRUE(StartTransfer(transfer, Direction::kUpload, Mode::kOctet, "up", source, kRetries));
    Bytes received;
    std::uint16_t number = 0;
    while (transfer.state == State::kRunning && number < 10) {
      const Reaction reaction = Deliver(transfer, Packet(kOpAck, number));
      if (transfer.state != State::kRunning) break;
      ASSERT_TRUE(reaction.sendPacket);
      const Bytes data = Sent(transfer);
      ASSERT_EQ(data[1], kOpData);
      ASSERT_EQ(data[3], ++number);
      received.insert(received.end(), data.begin() + 4, data.end());
    }
    EXPECT_EQ(transfer.state, State::kDone) << size;
    EXPECT_EQ(received, source) << size;
    EXPECT_EQ(transfer.block, size / 512 + 1) << size;
    EXPECT_EQ(transfer.offset, size);
  }
}

TEST(TftpClient, UploadIgnoresARepeatedAckAndFailsOnAnyOther) {
  const Bytes source(2000, 'u');
  ClientTransfer transfer;
  ASSERT_TRUE(StartTransfer(transfer, Direction::kUpload, Mode::kOctet, "up", source, kRetries));
  Deliver(transfer, Packet(kOpAck, 0));
  Deliver(transfer, Packet(kOpAck, 1));
  const Reaction repeat = Deliver(transfer, Packet(kOpAck, 1));
  EXPECT_FALSE(repeat.sendPacket);
  EXPECT_EQ(transfer.block, 2u);
  EXPECT_EQ(transfer.state, State::kRunning);
  Deliver(transfer, Packet(kOpAck, 7));
  EXPECT_EQ(transfer.failure, Failure::kBadBlock);
}

}  // namespace
}  // namespace quoril::bench
