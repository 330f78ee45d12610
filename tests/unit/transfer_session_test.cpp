#include "tftp/session/transfer_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "tftp/state/server_state.h"

namespace quoril {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct Sent {
  Bytes packet;
  platform::SocketAddress to;
};

class Recorder final : public PacketSink {
 public:
  Recorder() : PacketSink(scratch_) {}
  bool Send(std::span<const std::uint8_t> packet, const platform::SocketAddress& to) override {
    sent.push_back({Bytes(packet.begin(), packet.end()), to});
    return true;
  }
  std::vector<Sent> sent;

 private:
  PacketScratch scratch_;
};

platform::SocketAddress Address(std::uint16_t port) {
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  std::uint32_t address = 0;
  std::memcpy(&address, loopback, sizeof loopback);
  return platform::SocketAddress::FromIPv4(address, port);
}

Bytes Packet(std::uint16_t opcode, std::uint16_t block, const std::string& data = "") {
  // Reserved whole first: growing a 4-byte vector draws a false -Warray-bounds from GCC 12.
  Bytes packet;
  packet.reserve(kHeaderSize + data.size());
  for (const std::uint16_t field : {opcode, block}) {
    packet.push_back(static_cast<std::uint8_t>(field >> 8));
    packet.push_back(static_cast<std::uint8_t>(field));
  }
  packet.insert(packet.end(), data.begin(), data.end());
  return packet;
}

std::uint16_t OpcodeOf(const Bytes& packet) {
  return static_cast<std::uint16_t>(packet[0] << 8 | packet[1]);
}
std::uint16_t BlockOf(const Bytes& packet) {
  return static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
}

// The server whose settings and gates the sessions follow; lives as long as the process.
ServerState& Server() {
  static ServerState server;
  return server;
}

// Drives one session with byte strings and clock values; no socket anywhere.
class SessionDriver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Server().requestHeap.Exists()) {
      ASSERT_EQ(Server().requestHeap.Create(kRequestHeapInitialSize, kRequestHeapMaximumSize,
                                            sizeof(RequestRecord)),
                ERROR_SUCCESS);
    }
  }

  void SetUp() override {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("quoril-session-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    Server().config = ServerConfig{};
  }
  void TearDown() override {
    if (session_) FinishSession(*session_);
    std::filesystem::remove_all(dir_);
  }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  void Create(const std::string& name, const std::string& content) {
    std::ofstream(PathOf(name), std::ios::binary) << content;
  }
  std::string Contents(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The request as the listener hands it over, then the first packet.
  void Start(std::uint16_t opcode, const std::string& name, const char* mode = "octet",
             const std::string& options = "") {
    auto* record = static_cast<RequestRecord*>(Server().requestHeap.Allocate());
    ASSERT_NE(record, nullptr);
    record->datagram.fill(0);
    Bytes request = {0, static_cast<std::uint8_t>(opcode)};
    const std::string path = PathOf(name);
    request.insert(request.end(), path.begin(), path.end());
    request.push_back(0);
    request.insert(request.end(), mode, mode + std::strlen(mode) + 1);
    request.insert(request.end(), options.begin(), options.end());
    std::copy(request.begin(), request.end(), record->datagram.begin());
    record->clientAddress = client_;
    record->localIndex = 0;
    record->length = static_cast<std::uint16_t>(request.size());
    record->arrived = now_;
    session_.emplace();
    BeginSession(*session_, Server(), record);
    StartTransfer(*session_, sink_, now_);
  }

  // A datagram from `from` (the client by default); answers what the session sent.
  std::vector<Sent> Deliver(const Bytes& datagram, platform::SocketAddress from) {
    sink_.sent.clear();
    OnDatagram(*session_, datagram, from, sink_, now_);
    return sink_.sent;
  }
  std::vector<Sent> Deliver(const Bytes& datagram) { return Deliver(datagram, client_); }
  std::vector<Sent> Expire() {
    sink_.sent.clear();
    now_ = session_->deadline;
    OnDeadline(*session_, sink_, now_);
    return sink_.sent;
  }
  std::string Description() const { return session_->entry.description.data(); }

  std::filesystem::path dir_;
  platform::SocketAddress client_ = Address(50000);
  SessionClock::time_point now_ = SessionClock::time_point{} + 1000h;
  Recorder sink_;
  std::optional<TransferSession> session_;
};

class SessionReads : public SessionDriver, public ::testing::WithParamInterface<std::size_t> {};

// Every block full but the last, which is shorter (0 bytes after a multiple of 512).
TEST_P(SessionReads, ReadRunsToItsShortFinalBlock) {
  const std::size_t size = GetParam();
  std::string content(size, '\0');
  for (std::size_t k = 0; k < size; ++k) content[k] = static_cast<char>(k * 7);
  Create("file.bin", content);
  Start(kOpcodeRrq, "file.bin");
  std::string received;
  std::vector<Sent> sent = sink_.sent;
  for (std::uint16_t block = 1;; ++block) {
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(OpcodeOf(sent[0].packet), kOpcodeData);
    ASSERT_EQ(BlockOf(sent[0].packet), block);
    const std::size_t length = sent[0].packet.size() - kHeaderSize;
    received.append(sent[0].packet.begin() + kHeaderSize, sent[0].packet.end());
    sent = Deliver(Packet(kOpcodeAck, block));
    if (length < kDataSize) break;
  }
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(received, content);
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_EQ(Description(), "Transfer successful");
}

INSTANTIATE_TEST_SUITE_P(Sizes, SessionReads, ::testing::Values(0, 1, 511, 512, 513, 1124));

TEST_F(SessionDriver, WriteStoresEachBlockOnceAndEndsAfterTheLastAck) {
  Start(kOpcodeWrq, "new.bin");
  ASSERT_EQ(sink_.sent.size(), 1u);
  EXPECT_EQ(sink_.sent[0].packet, Packet(kOpcodeAck, 0));
  const std::string first(512, 'a');
  EXPECT_EQ(Deliver(Packet(kOpcodeData, 1, first))[0].packet, Packet(kOpcodeAck, 1));
  // A repeated DATA is acknowledged again and not stored twice.
  EXPECT_EQ(Deliver(Packet(kOpcodeData, 1, first))[0].packet, Packet(kOpcodeAck, 1));
  const auto last = Deliver(Packet(kOpcodeData, 2, "end"));
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].packet, Packet(kOpcodeAck, 2));
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_EQ(Contents("new.bin"), first + "end");
}

TEST_F(SessionDriver, BlockNumbersRollOverBothWays) {
  const std::size_t blocks = 65536 + 2;  // past 65535 -> 0 -> 1
  Create("big.bin", std::string(blocks * kDataSize - 1, 'x'));
  Start(kOpcodeRrq, "big.bin");
  std::vector<std::uint16_t> numbers;
  for (std::size_t k = 0; k < blocks; ++k) {
    ASSERT_EQ(sink_.sent.size(), 1u) << k;
    numbers.push_back(BlockOf(sink_.sent[0].packet));
    Deliver(Packet(kOpcodeAck, numbers.back()));
  }
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_EQ(numbers[65534], 65535);
  EXPECT_EQ(numbers[65535], 0);
  EXPECT_EQ(numbers[65536], 1);

  FinishSession(*session_);
  Start(kOpcodeWrq, "copy.bin");
  for (std::size_t k = 1; k <= blocks; ++k) {
    const auto acks = Deliver(
        Packet(kOpcodeData, static_cast<std::uint16_t>(k), std::string(k < blocks ? 512 : 3, 'y')));
    ASSERT_EQ(acks.size(), 1u) << k;
    ASSERT_EQ(acks[0].packet, Packet(kOpcodeAck, static_cast<std::uint16_t>(k))) << k;
  }
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_EQ(std::filesystem::file_size(PathOf("copy.bin")), (blocks - 1) * 512 + 3);
}

TEST_F(SessionDriver, TimeoutsResendTheSamePacketUntilTheLastRetry) {
  Server().config.MaxRetransmit = 3;
  Create("file.bin", std::string(600, 'z'));
  Start(kOpcodeRrq, "file.bin");
  const Bytes first = sink_.sent.at(0).packet;
  for (int retry = 0; retry < 3; ++retry) {
    const auto before = now_;
    const auto sent = Expire();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].packet, first);
    EXPECT_EQ(now_ - before, 3s);
  }
  EXPECT_TRUE(Expire().empty());
  EXPECT_EQ(session_->state, SessionState::kFailed);
  EXPECT_EQ(Description(), "Timeout; max. retransmits reached");
}

TEST_F(SessionDriver, AStrangerIsToldSoAndTheTransferGoesOnUntouched) {
  Create("file.bin", std::string(600, 'z'));
  Start(kOpcodeRrq, "file.bin");
  const auto deadline = session_->deadline;
  const auto stranger = Address(50001);
  now_ += 1s;
  const auto told = Deliver(Packet(kOpcodeAck, 1), stranger);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(OpcodeOf(told[0].packet), kOpcodeError);
  EXPECT_EQ(BlockOf(told[0].packet), 5);
  EXPECT_EQ(told[0].to.port, stranger.port);
  // A stranger's ERROR gets no answer at all.
  EXPECT_TRUE(Deliver(Packet(kOpcodeError, 5, "x"), stranger).empty());
  EXPECT_EQ(session_->deadline, deadline);
  EXPECT_EQ(session_->state, SessionState::kAwaitAck);
  EXPECT_EQ(Deliver(Packet(kOpcodeAck, 1))[0].packet.size(), kHeaderSize + 88);
}

TEST_F(SessionDriver, AClientErrorEndsTheTransferWithoutAnswer) {
  Start(kOpcodeWrq, "new.bin");
  EXPECT_TRUE(Deliver(Packet(kOpcodeError, 0, "stop")).empty());
  EXPECT_EQ(session_->state, SessionState::kFailed);
}

TEST_F(SessionDriver, DuplicateAndLateAcksSendNothing) {
  Create("file.bin", std::string(700, 'q'));
  Start(kOpcodeRrq, "file.bin");
  Deliver(Packet(kOpcodeAck, 1));  // DATA 2, the last, goes out
  const auto deadline = session_->deadline;
  now_ += 1s;
  // The last block is never sent twice because of a duplicate ACK, nor is its timer moved.
  for (int k = 0; k < 10; ++k) EXPECT_TRUE(Deliver(Packet(kOpcodeAck, 1)).empty());
  EXPECT_EQ(session_->deadline, deadline);
  EXPECT_EQ(session_->retriesLeft, Server().config.MaxRetransmit);
  EXPECT_TRUE(Deliver(Packet(kOpcodeAck, 2)).empty());
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_TRUE(Deliver(Packet(kOpcodeAck, 2)).empty());
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
}

// Name/value pairs as a request carries them after its mode.
std::string Options(std::initializer_list<std::pair<std::string, std::string>> pairs) {
  std::string bytes;
  for (const auto& [name, value] : pairs) bytes += name + '\0' + value + '\0';
  return bytes;
}

std::vector<std::uint16_t> BlocksOf(const std::vector<Sent>& sent) {
  std::vector<std::uint16_t> blocks;
  for (const Sent& s : sent) {
    EXPECT_EQ(OpcodeOf(s.packet), kOpcodeData);
    blocks.push_back(BlockOf(s.packet));
  }
  return blocks;
}

std::string Content(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t k = 0; k < size; ++k) content[k] = static_cast<char>(k * 13 + k / 512);
  return content;
}

class SessionOptions : public SessionDriver {
 protected:
  void SetUp() override {
    SessionDriver::SetUp();
    Server().config.NegotiateOptions = 1;
  }
  // A read with `options`: the OACK, then ACK 0; answers the first window.
  std::vector<Sent> ReadWith(const std::string& name, const std::string& options) {
    Start(kOpcodeRrq, name, "octet", options);
    EXPECT_EQ(sink_.sent.size(), 1u);
    EXPECT_EQ(OpcodeOf(sink_.sent.at(0).packet), kOpcodeOack);
    EXPECT_EQ(session_->state, SessionState::kAwaitOptionAck);
    return Deliver(Packet(kOpcodeAck, 0));
  }
};

using Blocks = std::vector<std::uint16_t>;

TEST_F(SessionOptions, Rfc7440ExampleWithALostBlock) {
  const std::string content = Content(12 * 512 + 100);  // 13 blocks
  Create("file.bin", content);
  EXPECT_EQ(BlocksOf(ReadWith("file.bin", Options({{"windowsize", "4"}}))), (Blocks{1, 2, 3, 4}));
  const auto second = Deliver(Packet(kOpcodeAck, 4));
  EXPECT_EQ(BlocksOf(second), (Blocks{5, 6, 7, 8}));
  // DATA 6 is lost; the client acknowledges 5 and the window starts over after it.
  const auto again = Deliver(Packet(kOpcodeAck, 5));
  EXPECT_EQ(BlocksOf(again), (Blocks{6, 7, 8, 9}));
  EXPECT_EQ(again[0].packet, second[1].packet);
  EXPECT_EQ(BlocksOf(Deliver(Packet(kOpcodeAck, 9))), (Blocks{10, 11, 12, 13}));
  EXPECT_TRUE(Deliver(Packet(kOpcodeAck, 13)).empty());
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
}

TEST_F(SessionOptions, RepeatedAndLateAcksSendNothingAndATimeoutResendsTheWindow) {
  Create("file.bin", Content(20 * 512));
  ReadWith("file.bin", Options({{"windowsize", "4"}}));
  Deliver(Packet(kOpcodeAck, 4));  // 5 to 8 go out
  const auto deadline = session_->deadline;
  now_ += 1s;
  for (std::uint16_t late : {4, 4, 3, 0, 1}) {
    EXPECT_TRUE(Deliver(Packet(kOpcodeAck, late)).empty()) << late;
  }
  EXPECT_EQ(session_->deadline, deadline);
  EXPECT_EQ(session_->retriesLeft, Server().config.MaxRetransmit);
  EXPECT_EQ(BlocksOf(Expire()), (Blocks{5, 6, 7, 8}));
  EXPECT_EQ(session_->retriesLeft, Server().config.MaxRetransmit - 1);
  EXPECT_EQ(BlocksOf(Deliver(Packet(kOpcodeAck, 6))), (Blocks{7, 8, 9, 10}));
  // An ACK beyond what was sent is no ACK of this transfer's.
  const auto bad = Deliver(Packet(kOpcodeAck, 12));
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(OpcodeOf(bad[0].packet), kOpcodeError);
  EXPECT_EQ(Description(), "Bad block number");
}

TEST_F(SessionOptions, WriteAcknowledgesEachWindowAndAnswersBlocksOutOfOrder) {
  Start(kOpcodeWrq, "new.bin", "octet", Options({{"windowsize", "3"}, {"blksize", "100"}}));
  ASSERT_EQ(sink_.sent.size(), 1u);
  const std::string oack =
      std::string("\0\x06", 2) + Options({{"windowsize", "3"}, {"blksize", "100"}});
  EXPECT_EQ(sink_.sent[0].packet, Bytes(oack.begin(), oack.end()));
  const std::string content = Content(7 * 100 + 30);
  const auto block = [&](std::uint16_t n) {
    return Packet(kOpcodeData, n, content.substr((n - 1) * 100u, 100));
  };
  // Longer than the granted block: no packet of this transfer's, dropped unanswered.
  EXPECT_TRUE(Deliver(Packet(kOpcodeData, 1, std::string(101, 'z'))).empty());
  EXPECT_TRUE(Deliver(block(1)).empty());
  EXPECT_TRUE(Deliver(block(2)).empty());
  EXPECT_EQ(Deliver(block(3)).at(0).packet, Packet(kOpcodeAck, 3));
  // Block 5 before 4: discarded, and the client learns where to go on from.
  EXPECT_EQ(Deliver(block(5)).at(0).packet, Packet(kOpcodeAck, 3));
  EXPECT_EQ(Deliver(block(3)).at(0).packet, Packet(kOpcodeAck, 3));
  EXPECT_TRUE(Deliver(block(4)).empty());
  // A timeout acknowledges what has come of the window, then repeats that ACK.
  EXPECT_EQ(Expire().at(0).packet, Packet(kOpcodeAck, 4));
  EXPECT_EQ(Expire().at(0).packet, Packet(kOpcodeAck, 4));
  for (std::uint16_t n : {5, 6, 7}) Deliver(block(n));
  EXPECT_EQ(Deliver(block(8)).at(0).packet, Packet(kOpcodeAck, 8));
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_EQ(Contents("new.bin"), content);
}

TEST_F(SessionOptions, BlockNumbersRollOverWith1468ByteBlocksBothWays) {
  const std::size_t blocks = 65536 + 2;  // past 65535 -> 0 -> 1
  Create("big.bin", std::string((blocks - 1) * 1468 + 5, 'x'));
  std::vector<std::uint16_t> numbers =
      BlocksOf(ReadWith("big.bin", Options({{"blksize", "1468"}, {"windowsize", "8"}})));
  while (session_->state == SessionState::kAwaitAck) {
    const auto sent = Deliver(Packet(kOpcodeAck, session_->block));
    for (const Sent& s : sent) numbers.push_back(BlockOf(s.packet));
  }
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  ASSERT_EQ(numbers.size(), blocks);
  EXPECT_EQ(numbers[65534], 65535);
  EXPECT_EQ(numbers[65535], 0);
  EXPECT_EQ(numbers[65536], 1);

  FinishSession(*session_);
  Start(kOpcodeWrq, "copy.bin", "octet", Options({{"blksize", "1468"}}));
  for (std::size_t k = 1; k <= blocks; ++k) {
    const auto acks = Deliver(Packet(kOpcodeData, static_cast<std::uint16_t>(k),
                                     std::string(k < blocks ? 1468 : 5, 'y')));
    ASSERT_EQ(acks.size(), 1u) << k;
    ASSERT_EQ(acks[0].packet, Packet(kOpcodeAck, static_cast<std::uint16_t>(k))) << k;
  }
  EXPECT_EQ(session_->state, SessionState::kSucceeded);
  EXPECT_EQ(std::filesystem::file_size(PathOf("copy.bin")), (blocks - 1) * 1468 + 5);
}

// A packet that is late, repeated or reordered by the network: what the transfer answers, in
// the state the packets before it leave it in. An answer of none changes nothing: no retry
// used or renewed, no deadline restarted.
struct StaleRow {
  const char* name;
  std::uint16_t opcode;
  std::string options;
  std::vector<Bytes> before;
  Bytes incoming;
  Bytes answer;  // empty: nothing is sent
};

const Bytes kNone;
const std::string kBadBlock = std::string("\0\x05\0\0Bad block number\0", 21);

TEST_F(SessionOptions, StalePacketsAreIgnoredAndPacketsAheadEndTheTransfer) {
  const Bytes badBlock(kBadBlock.begin(), kBadBlock.end());
  const std::string window = Options({{"windowsize", "4"}});
  const std::string blocks1468 = Options({{"blksize", "1468"}});
  const auto ack = [](std::uint16_t n) { return Packet(kOpcodeAck, n); };
  const auto data = [](std::uint16_t n) { return Packet(kOpcodeData, n, std::string(512, 'd')); };
  const StaleRow rows[] = {
      {"read: ACK 1 again after ACK 2", kOpcodeRrq, "", {ack(1), ack(2)}, ack(1), kNone},
      {"read: ACK 65535 while DATA 1 is out", kOpcodeRrq, "", {}, ack(65535), kNone},
      {"read: ACK of a block not sent", kOpcodeRrq, "", {ack(1)}, ack(3), badBlock},
      {"read: ACK half the numbers ahead", kOpcodeRrq, "", {ack(1)}, ack(0x8001), badBlock},
      {"read 1468: ACK 1 again after ACK 2",
       kOpcodeRrq,
       blocks1468,
       {ack(0), ack(1), ack(2)},
       ack(1),
       kNone},
      {"read, OACK out: ACK 65535", kOpcodeRrq, window, {}, ack(65535), kNone},
      {"read, OACK out: ACK 1", kOpcodeRrq, window, {}, ack(1), badBlock},
      {"read, window: ACK 2 after ACK 4", kOpcodeRrq, window, {ack(0), ack(4)}, ack(2), kNone},
      {"read, window: ACK beyond the window", kOpcodeRrq, window, {ack(0)}, ack(5), badBlock},
      {"write: DATA 1 again after DATA 2", kOpcodeWrq, "", {data(1), data(2)}, data(1), kNone},
      {"write: DATA 2 again, the last stored", kOpcodeWrq, "", {data(1), data(2)}, data(2), ack(2)},
      {"write: DATA 65535 while 1 is due", kOpcodeWrq, "", {}, data(65535), kNone},
      {"write: DATA 3 while 2 is due", kOpcodeWrq, "", {data(1)}, data(3), badBlock},
      {"write, window: DATA 1 after ACK 4",
       kOpcodeWrq,
       window,
       {data(1), data(2), data(3), data(4)},
       data(1),
       kNone},
      {"write, window: DATA 6 while 5 is due",
       kOpcodeWrq,
       window,
       {data(1), data(2), data(3), data(4)},
       data(6),
       ack(4)},
      {"write, window: DATA beyond the window",
       kOpcodeWrq,
       window,
       {data(1), data(2), data(3), data(4)},
       data(9),
       badBlock},
  };
  for (const StaleRow& row : rows) {
    SCOPED_TRACE(row.name);
    if (session_) FinishSession(*session_);
    Create("file.bin", Content(20 * 512 + 100));
    Start(row.opcode, row.opcode == kOpcodeRrq ? "file.bin" : "new.bin", "octet", row.options);
    for (const Bytes& packet : row.before) Deliver(packet);
    Expire();  // one retry used, so that a renewal would show
    now_ += 1s;
    const auto deadline = session_->deadline;
    const auto retries = session_->retriesLeft;
    const auto sent = Deliver(row.incoming);
    if (row.answer.empty()) {
      EXPECT_TRUE(sent.empty());
      EXPECT_EQ(session_->deadline, deadline);
      EXPECT_EQ(session_->retriesLeft, retries);
      EXPECT_FALSE(SessionEnded(*session_));
    } else {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].packet, row.answer);
      EXPECT_EQ(session_->state == SessionState::kFailed, row.answer == badBlock);
    }
  }
}

// The netascii form of `text`: a bare LF as CR LF, a bare CR as CR NUL.
std::string Netascii(const std::string& text) {
  std::string wire;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '\n') {
      wire += k > 0 && text[k - 1] == '\r' ? "\n" : "\r\n";
    } else if (text[k] == '\r' && (k + 1 == text.size() || text[k + 1] != '\n')) {
      wire += k + 1 == text.size() ? std::string("\r") : std::string("\r\0", 2);
    } else {
      wire += text[k];
    }
  }
  return wire;
}

// A window keeps no copies of its packets: what goes again is read again from the file, and
// must be what went the first time, also in netascii across the window's start.
TEST_F(SessionOptions, ResentBlocksAreReadAgainAlike) {
  std::string text;
  for (std::size_t k = 0; text.size() < 3000; ++k)
    text += k % 7 == 0 ? "\r" : k % 5 ? "ab\n" : "\r\n";
  for (const char* mode : {"octet", "netascii"}) {
    SCOPED_TRACE(mode);
    if (session_) FinishSession(*session_);
    Create("file.txt", text);
    Start(kOpcodeRrq, "file.txt", mode, Options({{"blksize", "100"}, {"windowsize", "5"}}));
    std::vector<Bytes> first(1);  // by block number
    const auto keep = [&](const std::vector<Sent>& sent) {
      for (const Sent& s : sent) {
        const std::uint16_t n = BlockOf(s.packet);
        if (n >= first.size()) first.resize(n + 1);
        if (first[n].empty()) first[n] = s.packet;
        EXPECT_EQ(s.packet, first[n]) << n;
      }
    };
    keep(Deliver(Packet(kOpcodeAck, 0)));
    keep(Deliver(Packet(kOpcodeAck, 2)));  // 3 lost: 3 to 7 go
    keep(Expire());
    keep(Deliver(Packet(kOpcodeAck, 7)));
    while (session_->state == SessionState::kAwaitAck) {
      keep(Expire());
      keep(Deliver(Packet(kOpcodeAck, static_cast<std::uint16_t>(session_->block - 1))));
      keep(Deliver(Packet(kOpcodeAck, session_->block)));
    }
    EXPECT_EQ(session_->state, SessionState::kSucceeded);
    std::string wire;
    for (std::size_t n = 1; n < first.size(); ++n)
      wire.append(first[n].begin() + 4, first[n].end());
    EXPECT_EQ(wire, std::string(mode) == "octet" ? text : Netascii(text));
  }
}

// Single-port mode: the session tells the endpoint table when its client is first heard (a copy
// of its request is a late one from then on) and lets its endpoint go when it ends.
TEST_F(SessionDriver, ItsEndpointIsMarkedHeardAtTheFirstAnswerAndLetGoAtTheEnd) {
  Server().config.SinglePort = 1;
  Server().endpoints.Prepare(true);
  Create("claimed.bin", std::string(600, 'x'));
  Start(kOpcodeRrq, "claimed.bin");
  const Bytes request(session_->request.begin(),
                      session_->request.begin() + session_->requestLength);
  WaitCancel cancel;
  ThreadWaker waker(cancel);
  Mailbox mailbox(waker, true);
  std::uint64_t previous = 0;
  ASSERT_EQ(Server().endpoints.Claim(0, client_, request, {&mailbox, 7}, previous),
            EndpointTable::Claimed::kClaimed);
  session_->endpoint = {&mailbox, 7};
  EXPECT_FALSE(Server().endpoints.IsLateCopy(0, client_, request));
  Deliver(Packet(kOpcodeAck, 1));
  EXPECT_TRUE(Server().endpoints.IsLateCopy(0, client_, request));
  FinishSession(*session_);
  session_.reset();
  EXPECT_FALSE(Server().endpoints.IsLateCopy(0, client_, request));
}
}  // namespace
}  // namespace quoril
