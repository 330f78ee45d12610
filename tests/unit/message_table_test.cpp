#include "resources/message_table.h"

#include <gtest/gtest.h>

#include <string>

#include "messages.h"

namespace quoril {
namespace {

TEST(MessageTableTest, IdentifiersRunWithoutGapInFourGroups) {
  ASSERT_EQ(kMessageTableSize, 24u);
  for (std::size_t i = 0; i < kMessageTableSize; ++i) {
    const std::uint32_t code = static_cast<std::uint32_t>(i + 1);
    // Success for the start and stop, warning severity for the bound on transfers, an
    // address left unserved, an entry of ListenAddresses without one and the metrics endpoint,
    // information for an address taken up or let go, error severity without facility for the
    // rest.
    const std::uint32_t severity = code <= 2      ? 0
                                   : code >= 0x17 ? 0x40000000u
                                   : code >= 0x13 ? 0x80000000u
                                                  : 0xC0000000u;
    const std::uint32_t expected = severity | code;
    EXPECT_EQ(kMessageTable[i].identifier, expected) << kMessageTable[i].name;
    EXPECT_EQ(FindMessage(expected), &kMessageTable[i]);
  }
  EXPECT_EQ(FindMessage(0), nullptr);
  EXPECT_EQ(FindMessage(3), nullptr);
  EXPECT_EQ(FindMessage(0xC0000013u), nullptr);
  EXPECT_EQ(FindMessage(0xC0000014u), nullptr);
  EXPECT_EQ(FindMessage(0xC0000015u), nullptr);
  EXPECT_EQ(FindMessage(0xC0000016u), nullptr);
  EXPECT_EQ(FindMessage(0xC0000017u), nullptr);
}

TEST(MessageTableTest, TextsEndWithCrLfAndHaveNoInsertions) {
  for (std::size_t i = 0; i < kMessageTableSize; ++i) {
    const std::string text = kMessageTable[i].text;
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << kMessageTable[i].name;
    EXPECT_EQ(text.find_first_of("\r\n"), text.size() - 2) << kMessageTable[i].name;
    EXPECT_EQ(text.find('%'), std::string::npos) << kMessageTable[i].name;
    EXPECT_EQ(text.rfind("The Quoril service ", 0), 0u) << kMessageTable[i].name;
  }
}

TEST(MessageTableTest, TextsAreExact) {
  struct Case {
    std::uint32_t id;
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {EVENT_SERVICE_STARTED, "EVENT_SERVICE_STARTED",
       "The Quoril service has successfully started.\r\n"},
      {EVENT_SERVICE_STOPPED, "EVENT_SERVICE_STOPPED",
       "The Quoril service has successfully terminated.\r\n"},
      {EVENT_LOG_FILE_ACCESS, "EVENT_LOG_FILE_ACCESS",
       "The Quoril service cannot access the log file, possibly because it does not have "
       "permission. Ensure that you have granted the service permission to access this file.\r\n"},
      {EVENT_SOCKETS_STARTUP, "EVENT_SOCKETS_STARTUP",
       "The Quoril service could not initialize the Windows Sockets API.  Ensure the TCP/IP "
       "protocol is properly installed.\r\n"},
      {EVENT_ADDRESS_ENUMERATE, "EVENT_ADDRESS_ENUMERATE",
       "The Quoril service encountered an error attempting to enumerate the local IP "
       "address(es).\r\n"},
      {EVENT_REQUEST_MEMORY, "EVENT_REQUEST_MEMORY",
       "The Quoril service was unable to accept a TFTP request due to lack of available "
       "memory.\r\n"},
      {EVENT_MEMORY_FREE, "EVENT_MEMORY_FREE",
       "The Quoril service encountered an internal error de-allocating memory.\r\n"},
      {EVENT_SOCKET_IOCTL, "EVENT_SOCKET_IOCTL",
       "The Quoril service encountered an internal error attempting to set IO controls on a "
       "socket.\r\n"},
  };
  for (const Case& c : cases) {
    const MessageTableEntry* entry = FindMessage(c.id);
    ASSERT_NE(entry, nullptr) << c.name;
    EXPECT_STREQ(entry->name, c.name);
    EXPECT_STREQ(entry->text, c.text);
  }
}

}  // namespace
}  // namespace quoril
