#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tftp/protocol/packets.h"

namespace quoril {
namespace {

struct Mapped {
  std::uint16_t length;
  std::uint16_t opcode;
  std::uint16_t code;
  std::string message;  // up to the first zero byte
  std::string description;
};

// Runs the mapping on buffers filled with a marker and checks that the packet holds exactly
// one terminator, at its last byte, and that nothing past the packet or the description's
// terminator was written.
Mapped Map(Win32Error lastError) {
  PacketBuffer packet;
  packet.fill(0xAA);
  Description description;
  description.fill('#');
  Mapped m;
  m.length = ErrorMapping(lastError, packet, description);
  m.opcode = ReadField16(packet, 0);
  m.code = ReadField16(packet, 2);
  const auto* text = reinterpret_cast<const char*>(packet.data() + 4);
  m.message = std::string(text, strnlen(text, kDataSize));
  EXPECT_GE(m.length, 5) << lastError;
  EXPECT_LE(m.length, kMaxPacket) << lastError;
  EXPECT_EQ(packet[m.length - 1], 0) << lastError;
  EXPECT_EQ(std::count(packet.begin() + 4, packet.begin() + m.length, 0), 1) << lastError;
  if (m.length < kMaxPacket) {
    EXPECT_EQ(packet[m.length], 0xAA) << lastError;
  }
  const auto end = std::find(description.begin(), description.end(), '\0');
  EXPECT_NE(end, description.end()) << "description without terminator, " << lastError;
  m.description = std::string(description.begin(), end);
  if (end != description.end() && end + 1 != description.end()) {
    EXPECT_EQ(*(end + 1), '#') << lastError;
  }
  return m;
}

TEST(ErrorMapping, EveryRowOfTheTable) {
  struct Row {
    Win32Error lastError;
    std::uint16_t code;
    const char* text;
  };
  const Row rows[] = {
      {ERROR_FILE_NOT_FOUND, 1, "File not found"},
      {ERROR_PATH_NOT_FOUND, 0, "Invalid directory"},
      {ERROR_ACCESS_DENIED, 2, "Access denied"},
      {ERROR_SHARING_VIOLATION, 0, "Sharing violation"},
      {ERROR_FILE_EXISTS, 6, "File exists"},
      {ERROR_DISK_FULL, 3, "Disk full"},
      {TRANSFER_ERROR_ILLEGAL_OPCODE, 4, "Illegal opcode"},
      {TRANSFER_ERROR_UNKNOWN_TID, 5, "Unknown transfer identifier"},
      {TRANSFER_ERROR_NO_SUCH_USER, 7, "No such user"},
      {TRANSFER_ERROR_BAD_BLOCK, 0, "Bad block number"},
      {TRANSFER_ERROR_ALLOCATION_EXCEEDED, 3, "Disk full or allocation exceeded"},
  };
  for (const Row& row : rows) {
    const Mapped m = Map(row.lastError);
    EXPECT_EQ(m.opcode, 5) << row.text;
    EXPECT_EQ(m.code, row.code) << row.text;
    EXPECT_EQ(m.message, row.text);
    EXPECT_EQ(m.length, std::strlen(row.text) + 5) << row.text;
    EXPECT_EQ(m.description, row.text);
    EXPECT_LE(m.description.size(), 39u) << row.text;
  }
}

TEST(ErrorMapping, UnknownTransferIdentifierIs32Bytes) {
  EXPECT_EQ(Map(TRANSFER_ERROR_UNKNOWN_TID).length, 32);
}

TEST(ErrorMapping, UnmappedValuesNameTheValue) {
  struct Row {
    Win32Error lastError;
    const char* description;
  };
  const Row rows[] = {
      {ERROR_INVALID_PARAMETER, "Undefined: GetLastError = 87"},
      {TRANSFER_ERROR_READ_FAILED, "Undefined: GetLastError = 268435456"},
      {ERROR_SUCCESS, "Undefined: GetLastError = 0"},
      {ERROR_ALREADY_EXISTS, "Undefined: GetLastError = 183"},
      {WSAEMSGSIZE, "Undefined: GetLastError = 10040"},
      // Neighbours of the service's own codes that have no row.
      {0x10000006, "Undefined: GetLastError = 268435462"},
      {0x1000000A, "Undefined: GetLastError = 268435466"},
      // Values with the top bit set print signed; the longest description there is.
      {0x80000005, "Undefined: GetLastError = -2147483643"},
      {0x80000000, "Undefined: GetLastError = -2147483648"},
      {0xFFFFFFFF, "Undefined: GetLastError = -1"},
  };
  for (const Row& row : rows) {
    const Mapped m = Map(row.lastError);
    EXPECT_EQ(m.opcode, 5) << row.description;
    EXPECT_EQ(m.code, 0) << row.description;
    EXPECT_EQ(m.message, "Undefined error") << row.description;
    EXPECT_EQ(m.length, 20) << row.description;
    EXPECT_EQ(m.description, row.description);
    EXPECT_LE(m.description.size(), 39u);
  }
}

}  // namespace
}  // namespace quoril
