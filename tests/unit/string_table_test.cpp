#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/strings.h"
#include "resources/string_ids.h"

namespace quoril::platform {
namespace {

struct StringRow {
  std::uint32_t id;
  const char* text;
};

// Every protocol and log text a transfer uses, byte for byte.
constexpr StringRow kStrings[] = {
    {IDS_ACCESS_DENIED, "Access denied"},
    {IDS_FILE_NOT_FOUND, "File not found"},
    {IDS_FILE_EXISTS, "File exists"},
    {IDS_DISK_FULL, "Disk full"},
    {IDS_ILLEGAL_OPCODE, "Illegal opcode"},
    {IDS_UNKNOWN_TID, "Unknown transfer identifier"},
    {IDS_NO_SUCH_USER, "No such user"},
    {IDS_BAD_BLOCK, "Bad block number"},
    {IDS_UNDEFINED_ERROR, "Undefined error"},
    {IDS_FILE_NAME_TOO_LONG, "File name too long"},
    {IDS_TIMEOUT, "Timeout; max. retransmits reached"},
    {IDS_INVALID_DIRECTORY, "Invalid directory"},
    {IDS_TRANSFER_SUCCESSFUL, "Transfer successful"},
    {IDS_SHARING_VIOLATION, "Sharing violation"},
    {IDS_OPTIONS_DECLINED, "Options declined by the client"},
    {IDS_ALLOCATION_EXCEEDED, "Disk full or allocation exceeded"},
    {IDS_SUPERSEDED, "Superseded by a new request"},
};

TEST(StringTable, EveryIdLoadsItsText) {
  for (const StringRow& row : kStrings) {
    std::array<char, 512> buffer;
    buffer.fill('#');
    const int length = LoadString(row.id, buffer);
    EXPECT_EQ(length, static_cast<int>(std::strlen(row.text))) << row.id;
    EXPECT_STREQ(buffer.data(), row.text) << row.id;
  }
}

TEST(StringTable, TextIsCutToTheBufferWithItsTerminator) {
  struct Row {
    std::size_t size;
    int length;
    const char* text;
  };
  const Row rows[] = {
      {1, 0, ""},
      {2, 1, "U"},
      {5, 4, "Unkn"},
      {27, 26, "Unknown transfer identifie"},
      {28, 27, "Unknown transfer identifier"},
      {40, 27, "Unknown transfer identifier"},
  };
  for (const Row& row : rows) {
    std::array<char, 64> buffer;
    buffer.fill('#');
    const int length = LoadString(IDS_UNKNOWN_TID, std::span<char>(buffer.data(), row.size));
    EXPECT_EQ(length, row.length) << row.size;
    EXPECT_STREQ(buffer.data(), row.text) << row.size;
    // Nothing past the buffer given is touched.
    EXPECT_EQ(buffer[row.size], '#') << row.size;
  }
}

TEST(StringTable, UnknownIdGivesAnEmptyText) {
  for (std::uint32_t id : {0u, IDS_SUPERSEDED + 1u, 0xFFFFFFFFu}) {
    std::array<char, 16> buffer;
    buffer.fill('#');
    EXPECT_EQ(LoadString(id, buffer), 0) << id;
    EXPECT_EQ(buffer[0], '\0') << id;
  }
}

TEST(StringTable, EmptyBufferIsLeftAlone) {
  char canary = '#';
  EXPECT_EQ(LoadString(IDS_DISK_FULL, std::span<char>(&canary, 0)), 0);
  EXPECT_EQ(canary, '#');
}

TEST(LowerCaseAscii, OnlyCapitalLettersChange) {
  struct Row {
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {"OCTET", "octet"},
      {"NetAscii", "netascii"},
      {"C:\\TFTP\\Boot.BIN", "c:\\tftp\\boot.bin"},
      {"@[`{AZaz09", "@[`{azaz09"},
      {"\xC4\xD6\xDC\xC9", "\xC4\xD6\xDC\xC9"},  // ANSI capitals beyond ASCII stay
      {std::string("A\0B", 3), std::string("a\0b", 3)},
      {"", ""},
  };
  for (const Row& row : rows) {
    std::string text = row.in;
    LowerCaseAscii(text);
    EXPECT_EQ(text, row.out) << row.in;
  }
}

TEST(LowerCaseAscii, StaysWithinTheSpan) {
  char text[] = "ABCDEFG";
  LowerCaseAscii(std::span<char>(text, 5));
  EXPECT_STREQ(text, "abcdeFG");
}

}  // namespace
}  // namespace quoril::platform
