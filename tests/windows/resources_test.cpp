// The string and message tables as resources of the executable: the same texts, byte for
// byte, as the tables that the POSIX build generates from strings.rc and messages.mc.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>

#include "messages.h"
#include "platform/strings.h"
#include "platform/win32/windows_headers.h"
#include "resources/message_table.h"
#include "resources/string_table.h"

namespace quoril {
namespace {

TEST(StringTableResource, EveryStringAsInStringsRc) {
  ASSERT_EQ(kStringTableSize, 17u);
  for (std::size_t i = 0; i < kStringTableSize; ++i) {
    std::array<char, 256> buffer{};
    const int length = platform::LoadString(kStringTable[i].id, buffer);
    EXPECT_EQ(length, static_cast<int>(std::strlen(kStringTable[i].text))) << kStringTable[i].id;
    EXPECT_STREQ(buffer.data(), kStringTable[i].text) << kStringTable[i].id;
  }
}

TEST(StringTableResource, CutToTheBufferAndMissingIds) {
  struct Case {
    const char* name;
    std::uint32_t id;
    std::size_t size;
    int length;
    const char* text;
  };
  const Case cases[] = {
      {"whole", IDS_TIMEOUT, 40, 33, "Timeout; max. retransmits reached"},
      {"cut to the buffer", IDS_TIMEOUT, 8, 7, "Timeout"},
      {"room for the terminator alone", IDS_FILE_EXISTS, 1, 0, ""},
      {"no such id", 0, 40, 0, ""},
      {"no such id above the table", IDS_SUPERSEDED + 1, 40, 0, ""},
  };
  for (const Case& c : cases) {
    std::array<char, 64> buffer;
    buffer.fill('x');
    EXPECT_EQ(platform::LoadString(c.id, std::span<char>(buffer.data(), c.size)), c.length)
        << c.name;
    EXPECT_STREQ(buffer.data(), c.text) << c.name;
  }
}

TEST(LowerCaseAscii, OnlyCapitalAsciiLettersChange) {
  std::string text = "D:\\Tftp\\BOOT\\\xC0\xC9\xDE-Zz@[`{";
  platform::LowerCaseAscii(text);
  EXPECT_EQ(text, "d:\\tftp\\boot\\\xC0\xC9\xDE-zz@[`{");
}

// The message table resource as the event viewer reads it: its blocks, and each entry's
// identifier, form (8-bit text, flags 0) and text.
struct MessageResource {
  std::map<std::uint32_t, std::string> texts;
  std::map<std::uint32_t, std::uint16_t> flags;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
};

MessageResource ReadMessageResource() {
  MessageResource result;
  HMODULE module = ::GetModuleHandleA(nullptr);
  HRSRC found =
      ::FindResourceExA(module, reinterpret_cast<LPCSTR>(RT_MESSAGETABLE), MAKEINTRESOURCEA(1),
                        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (found == nullptr) return result;
  const auto* data =
      static_cast<const std::uint8_t*>(::LockResource(::LoadResource(module, found)));
  const DWORD size = ::SizeofResource(module, found);
  const auto* table = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(data);
  for (DWORD b = 0; b < table->NumberOfBlocks; ++b) {
    const MESSAGE_RESOURCE_BLOCK& block = table->Blocks[b];
    result.blocks.emplace_back(block.LowId, block.HighId);
    DWORD offset = block.OffsetToEntries;
    for (DWORD id = block.LowId; id <= block.HighId; ++id) {
      if (offset + 4 > size) return result;
      const auto* entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(data + offset);
      if (entry->Length < 4 || offset + entry->Length > size) return result;
      const char* text = reinterpret_cast<const char*>(entry->Text);
      result.texts[id] = std::string(text, strnlen(text, entry->Length - 4));
      result.flags[id] = entry->Flags;
      offset += entry->Length;
    }
  }
  return result;
}

TEST(MessageTableResource, FourBlocksWithTheIdentifiersOfMessagesMc) {
  const MessageResource resource = ReadMessageResource();
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks{
      {1, 2}, {0x40000017, 0x40000018}, {0x80000013, 0x80000016}, {0xC0000003, 0xC0000012}};
  EXPECT_EQ(resource.blocks, blocks);
  ASSERT_EQ(resource.texts.size(), kMessageTableSize);
  for (std::size_t i = 0; i < kMessageTableSize; ++i) {
    const MessageTableEntry& entry = kMessageTable[i];
    ASSERT_TRUE(resource.texts.contains(entry.identifier)) << entry.name;
    EXPECT_EQ(resource.texts.at(entry.identifier), entry.text) << entry.name;
    EXPECT_EQ(resource.flags.at(entry.identifier), 0) << entry.name << ": not 8-bit text";
  }
}

TEST(MessageTableResource, FormatMessageGivesEachTextWithItsLineEnd) {
  for (std::size_t i = 0; i < kMessageTableSize; ++i) {
    const MessageTableEntry& entry = kMessageTable[i];
    std::array<char, 512> text{};
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ::GetModuleHandleA(nullptr),
        entry.identifier, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text.data(),
        static_cast<DWORD>(text.size()), nullptr);
    EXPECT_EQ(std::string(text.data(), length), entry.text) << entry.name;
    EXPECT_TRUE(std::string_view(text.data(), length).ends_with("\r\n")) << entry.name;
  }
}

TEST(MessageTableResource, IdentifiersAsTheCodeKnowsThem) {
  EXPECT_EQ(EVENT_SERVICE_STARTED, 0x00000001u);
  EXPECT_EQ(EVENT_SERVICE_STOPPED, 0x00000002u);
  EXPECT_EQ(EVENT_INIT_FAILED, 0xC0000003u);
  EXPECT_EQ(EVENT_SOCKET_IOCTL, 0xC0000012u);
  EXPECT_EQ(EVENT_ADDRESS_TAKEN_UP, 0x40000017u);
  EXPECT_EQ(EVENT_ADDRESS_LET_GO, 0x40000018u);
  const MessageResource resource = ReadMessageResource();
  EXPECT_EQ(resource.texts.at(EVENT_SOCKETS_STARTUP),
            "The Quoril service could not initialize the Windows Sockets API.  Ensure the TCP/IP "
            "protocol is properly installed.\r\n");
}

}  // namespace
}  // namespace quoril
