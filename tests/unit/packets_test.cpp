#include "tftp/protocol/packets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace quoril {
namespace {

// A request datagram as the listener hands it over: the bytes received, then zeros.
PacketBuffer MakeRequest(const std::string& bytes) {
  PacketBuffer packet{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), packet.size()), packet.begin());
  return packet;
}

std::string Bytes(std::initializer_list<char> bytes) {
  return std::string(bytes);
}

TEST(Field16, NetworkByteOrder) {
  struct Row {
    std::uint16_t value;
    std::uint8_t high;
    std::uint8_t low;
  };
  const Row rows[] = {{0, 0, 0}, {1, 0, 1}, {0x0102, 1, 2}, {0xFF00, 0xFF, 0}, {65535, 0xFF, 0xFF}};
  for (const Row& row : rows) {
    std::array<std::uint8_t, 6> packet{};
    WriteField16(packet, 3, row.value);
    EXPECT_EQ(packet[3], row.high) << row.value;
    EXPECT_EQ(packet[4], row.low) << row.value;
    EXPECT_EQ(packet[2], 0) << row.value;
    EXPECT_EQ(packet[5], 0) << row.value;
    EXPECT_EQ(ReadField16(packet, 3), row.value);
  }
}

TEST(Field16, NeverOutsideThePacket) {
  std::array<std::uint8_t, 4> packet = {1, 2, 3, 4};
  std::span<std::uint8_t> first3(packet.data(), 3);
  WriteField16(first3, 2, 0xABCD);
  WriteField16(first3, 3, 0xABCD);
  WriteField16(first3, static_cast<std::size_t>(-1), 0xABCD);
  EXPECT_EQ(packet, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(ReadField16(first3, 2), 0);
  EXPECT_EQ(ReadField16(first3, 1), 0x0203);
  EXPECT_EQ(ReadField16(first3, static_cast<std::size_t>(-1)), 0);
}

TEST(Builders, DataHeaderAndLength) {
  struct Row {
    std::uint16_t block;
    std::size_t dataLength;
    std::uint16_t length;
  };
  const Row rows[] = {{1, 0, 4},          {1, 1, 5},         {2, 511, 515},
                      {0x1234, 512, 516}, {65535, 512, 516}, {0, 300, 304}};
  for (const Row& row : rows) {
    PacketBuffer packet;
    packet.fill(0xAA);
    EXPECT_EQ(BuildDataHeader(packet, row.block, row.dataLength), row.length);
    EXPECT_EQ(packet[0], 0);
    EXPECT_EQ(packet[1], 3);
    EXPECT_EQ(packet[2], row.block >> 8);
    EXPECT_EQ(packet[3], row.block & 0xFF);
    EXPECT_EQ(packet[4], 0xAA) << "the data area is the reader's";
  }
}

TEST(Builders, AckIsFourBytes) {
  for (std::uint16_t block : {0, 1, 256, 65535}) {
    PacketBuffer packet;
    packet.fill(0xAA);
    EXPECT_EQ(BuildAck(packet, block), 4);
    EXPECT_EQ(packet[0], 0);
    EXPECT_EQ(packet[1], 4);
    EXPECT_EQ(ReadField16(packet, 2), block);
    EXPECT_EQ(packet[4], 0xAA);
  }
}

struct RequestRow {
  const char* name;
  std::string datagram;
  std::uint16_t opcode;
  std::size_t nameLength;
  bool nameTerminated;
  bool modeTerminated;
  bool binary;
};

TEST(ParseRequest, ModesNamesAndTerminators) {
  const std::string name260(260, 'n');
  const std::string name261(261, 'n');
  const std::string name513(513, 'n');
  const RequestRow rows[] = {
      {"octet", Bytes({0, 1}) + "boot.bin" + Bytes({0}) + "octet" + Bytes({0}), 1, 8, true, true,
       true},
      {"OCTET", Bytes({0, 2}) + "a" + Bytes({0}) + "OCTET" + Bytes({0}), 2, 1, true, true, true},
      {"Octet", Bytes({0, 1}) + "a" + Bytes({0}) + "Octet" + Bytes({0}), 1, 1, true, true, true},
      {"octets", Bytes({0, 1}) + "a" + Bytes({0}) + "octets" + Bytes({0}), 1, 1, true, true, false},
      {"octe", Bytes({0, 1}) + "a" + Bytes({0}) + "octe" + Bytes({0}), 1, 1, true, true, false},
      {"netascii", Bytes({0, 1}) + "a" + Bytes({0}) + "netascii" + Bytes({0}), 1, 1, true, true,
       false},
      {"mail", Bytes({0, 2}) + "a" + Bytes({0}) + "mail" + Bytes({0}), 2, 1, true, true, false},
      {"empty mode", Bytes({0, 1}) + "a" + Bytes({0, 0}), 1, 1, true, true, false},
      {"empty name", Bytes({0, 1, 0}) + "octet" + Bytes({0}), 1, 0, true, true, true},
      {"name of 260", Bytes({0, 1}) + name260 + Bytes({0}) + "octet" + Bytes({0}), 1, 260, true,
       true, true},
      {"name of 261", Bytes({0, 1}) + name261 + Bytes({0}) + "netascii" + Bytes({0}), 1, 261, true,
       true, false},
      {"any opcode is read", Bytes({0x12, 0x34}) + "a" + Bytes({0}) + "octet" + Bytes({0}), 0x1234,
       1, true, true, true},
      // The name runs to the last byte; no room is left for a mode.
      {"name fills the datagram", Bytes({0, 1}) + std::string(514, 'n'), 1, 514, false, false,
       false},
      {"name ends at the last byte", Bytes({0, 1}) + name513 + Bytes({0}), 1, 513, true, false,
       false},
      // "octet" in the last five bytes with no room for its terminator.
      {"mode without terminator", Bytes({0, 1}) + std::string(508, 'n') + Bytes({0}) + "octet", 1,
       508, true, false, false},
      {"mode terminated in the last byte",
       Bytes({0, 1}) + std::string(507, 'n') + Bytes({0}) + "octet" + Bytes({0}), 1, 507, true,
       true, true},
      {"516 bytes of garbage", std::string(516, '\xFF'), 0xFFFF, 514, false, false, false},
  };
  for (const RequestRow& row : rows) {
    PacketBuffer request = MakeRequest(row.datagram);
    const ParsedRequest parsed = ParseRequest(request);
    EXPECT_EQ(parsed.opcode, row.opcode) << row.name;
    EXPECT_EQ(parsed.nameLength, row.nameLength) << row.name;
    EXPECT_EQ(parsed.nameTerminated, row.nameTerminated) << row.name;
    EXPECT_EQ(parsed.modeTerminated, row.modeTerminated) << row.name;
    EXPECT_EQ(parsed.binary, row.binary) << row.name;
  }
}

TEST(ParseRequest, LowerCasesOnlyTheFirstFiveBytesOfTheMode) {
  struct Row {
    std::string mode;
    std::string after;
  };
  const Row rows[] = {
      {"OCTET", "octet"},
      {"NETASCII", "netasCII"},
      {"MAIL", "mail"},
      {"OcTeTS", "octetS"},
  };
  for (const Row& row : rows) {
    const std::string name = "FILE.TXT";
    PacketBuffer request = MakeRequest(Bytes({0, 1}) + name + Bytes({0}) + row.mode + Bytes({0}) +
                                       "TAIL" + Bytes({0}));
    ParseRequest(request);
    const auto* bytes = reinterpret_cast<const char*>(request.data());
    EXPECT_EQ(std::string(bytes + 2, name.size()), name) << "the name is used unchanged";
    EXPECT_EQ(std::string(bytes + 3 + name.size(), row.after.size()), row.after) << row.mode;
    EXPECT_EQ(std::string(bytes + 4 + name.size() + row.mode.size(), 4), "TAIL") << row.mode;
  }
}

TEST(ParseRequest, ModeInTheLastBytesIsLowerCasedWithinTheBuffer) {
  PacketBuffer request = MakeRequest(Bytes({0, 1}) + std::string(510, 'n') + Bytes({0}) + "OCT");
  const ParsedRequest parsed = ParseRequest(request);
  EXPECT_FALSE(parsed.modeTerminated);
  EXPECT_FALSE(parsed.binary);
  EXPECT_EQ(request[513], 'o');
  EXPECT_EQ(request[514], 'c');
  EXPECT_EQ(request[515], 't');
}

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

TEST(SendPacket, SendsExactlyTheLengthGiven) {
  platform::UdpSocket receiver, sender;
  ASSERT_EQ(receiver.Open(platform::SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(sender.Open(platform::SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  const auto to = platform::SocketAddress::FromIPv4(kLoopback, receiver.LocalPort());

  for (std::size_t dataLength : {0, 1, 511, 512}) {
    PacketBuffer packet;
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i);
    const std::uint16_t length = BuildDataHeader(packet, 7, dataLength);
    ASSERT_TRUE(SendPacket(sender, packet, length, to)) << dataLength;
    PacketBuffer received{};
    std::size_t receivedLength = 0;
    platform::SocketAddress from;
    ASSERT_EQ(receiver.ReceiveFrom(received, receivedLength, from), ERROR_SUCCESS);
    EXPECT_EQ(receivedLength, dataLength + 4);
    EXPECT_TRUE(std::equal(packet.begin(), packet.begin() + length, received.begin()));
    EXPECT_EQ(from.Port(), sender.LocalPort());
  }
}

TEST(SendPacket, FailureIsFalse) {
  platform::UdpSocket sender;
  ASSERT_EQ(sender.Open(platform::SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  const auto to = platform::SocketAddress::FromIPv4(kLoopback, 9);
  PacketBuffer packet{};
  // Never past the buffer handed over.
  EXPECT_FALSE(SendPacket(sender, std::span(packet.data(), 4), 5, to));
  sender.Close();
  EXPECT_FALSE(SendPacket(sender, packet, 4, to));
}

}  // namespace
}  // namespace quoril
