#include "config/event_reporter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_log.h"
#include "resources/message_table.h"
#include "tests/unit/scratch_root.h"

namespace quoril {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// One line of the events file:
// "2005-09-09 00:04:07 Quoril Information 0xC0000005 EVENT_SOCKETS_STARTUP text".
struct Entry {
  std::string type;
  std::string id;
  std::string name;
  std::string text;
};

bool ParseEntry(const std::string& line, Entry& entry) {
  const std::string stamp = "dddd-dd-dd dd:dd:dd ";
  if (line.size() < stamp.size()) return false;
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (stamp[i] == 'd' ? !digit : line[i] != stamp[i]) return false;
  }
  std::istringstream fields(line.substr(stamp.size()));
  std::string source;
  if (!(fields >> source >> entry.type >> entry.id >> entry.name)) return false;
  if (source != "Quoril" || entry.id.size() != 10 || entry.id.rfind("0x", 0) != 0) return false;
  if (entry.id.find_first_not_of("0123456789ABCDEF", 2) != std::string::npos) return false;
  std::getline(fields, entry.text);
  if (!entry.text.empty()) {
    if (entry.text[0] != ' ') return false;
    entry.text.erase(0, 1);
  }
  return true;
}

class EventReporterTest : public ::testing::Test {
 protected:
  ScratchRoot scratch_{"quoril-events"};
  fs::path root_ = scratch_.path();
  fs::path events_ = root_ / "var/log/quoril/events.log";
};

TEST_F(EventReporterTest, EachIdentifierGivesOneInformationLine) {
  struct Case {
    std::uint32_t id;
    const char* hex;
    const char* name;
  };
  const Case cases[] = {
      {EVENT_SERVICE_STARTED, "0x00000001", "EVENT_SERVICE_STARTED"},
      {EVENT_SERVICE_STOPPED, "0x00000002", "EVENT_SERVICE_STOPPED"},
      {EVENT_INIT_FAILED, "0xC0000003", "EVENT_INIT_FAILED"},
      {EVENT_LOG_FILE_ACCESS, "0xC0000004", "EVENT_LOG_FILE_ACCESS"},
      {EVENT_SOCKETS_STARTUP, "0xC0000005", "EVENT_SOCKETS_STARTUP"},
      {EVENT_SOCKET_ALLOCATE, "0xC0000006", "EVENT_SOCKET_ALLOCATE"},
      {EVENT_ADDRESS_ENUMERATE, "0xC0000007", "EVENT_ADDRESS_ENUMERATE"},
      {EVENT_HOST_NAME, "0xC0000008", "EVENT_HOST_NAME"},
      {EVENT_START_MEMORY, "0xC0000009", "EVENT_START_MEMORY"},
      {EVENT_REQUEST_MEMORY, "0xC000000A", "EVENT_REQUEST_MEMORY"},
      {EVENT_SOCKET_READ, "0xC000000B", "EVENT_SOCKET_READ"},
      {EVENT_SOCKET_BLOCK, "0xC000000C", "EVENT_SOCKET_BLOCK"},
      {EVENT_THREAD_CREATE, "0xC000000D", "EVENT_THREAD_CREATE"},
      {EVENT_SOCKET_CLOSE, "0xC000000E", "EVENT_SOCKET_CLOSE"},
      {EVENT_MEMORY_RELEASE, "0xC000000F", "EVENT_MEMORY_RELEASE"},
      {EVENT_SOCKETS_CLEANUP, "0xC0000010", "EVENT_SOCKETS_CLEANUP"},
      {EVENT_MEMORY_FREE, "0xC0000011", "EVENT_MEMORY_FREE"},
      {EVENT_SOCKET_IOCTL, "0xC0000012", "EVENT_SOCKET_IOCTL"},
  };
  for (const Case& c : cases) EXPECT_EQ(EventReporter(c.id), 1) << c.name;

  const std::vector<std::string> lines = ReadLines(events_);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    Entry entry;
    ASSERT_TRUE(ParseEntry(lines[i], entry)) << lines[i];
    EXPECT_EQ(entry.type, "Information");
    EXPECT_EQ(entry.id, cases[i].hex);
    EXPECT_EQ(entry.name, cases[i].name);
    const MessageTableEntry* message = FindMessage(cases[i].id);
    ASSERT_NE(message, nullptr) << cases[i].name;
    const std::string text = message->text;
    EXPECT_EQ(entry.text + "\r\n", text) << cases[i].name;
  }
}

TEST_F(EventReporterTest, TextsAreWrittenWithoutTheirLineEnd) {
  EventReporter(EVENT_SOCKETS_STARTUP);
  EventReporter(EVENT_SERVICE_STARTED);
  const std::string text = [&] {
    std::ifstream in(events_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  EXPECT_NE(text.find(" Quoril Information 0xC0000005 EVENT_SOCKETS_STARTUP The Quoril service "
                      "could not initialize the Windows Sockets API.  Ensure the TCP/IP protocol "
                      "is properly installed.\n"),
            std::string::npos);
  EXPECT_NE(text.find(" Quoril Information 0x00000001 EVENT_SERVICE_STARTED The Quoril service "
                      "has successfully started.\n"),
            std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(EventReporterTest, UnknownIdentifierIsStillWritten) {
  EXPECT_EQ(EventReporter(0xC0000099u), 1);
  const std::vector<std::string> lines = ReadLines(events_);
  ASSERT_EQ(lines.size(), 1u);
  Entry entry;
  ASSERT_TRUE(ParseEntry(lines[0], entry)) << lines[0];
  EXPECT_EQ(entry.id, "0xC0000099");
  EXPECT_EQ(entry.name, "-");
  EXPECT_EQ(entry.text, "");
}

TEST_F(EventReporterTest, EventsAreAppendedToAnExistingFile) {
  fs::create_directories(events_.parent_path());
  { std::ofstream(events_, std::ios::binary) << "earlier entry\n"; }
  EXPECT_EQ(EventReporter(EVENT_SERVICE_STOPPED), 1);
  const std::vector<std::string> lines = ReadLines(events_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier entry");
  Entry entry;
  EXPECT_TRUE(ParseEntry(lines[1], entry)) << lines[1];
  EXPECT_EQ(entry.id, "0x00000002");
}

TEST_F(EventReporterTest, UnwritableEventsFileAnswersZero) {
  struct Case {
    const char* name;
    void (*prepare)(const fs::path& events);
  };
  const Case cases[] = {
      {"events file is a directory",
       [](const fs::path& events) { fs::create_directories(events); }},
      {"log directory is a file",
       [](const fs::path& events) {
         fs::create_directories(events.parent_path().parent_path());
         std::ofstream(events.parent_path()) << "x";
       }},
  };
  for (const Case& c : cases) {
    std::error_code ignored;
    fs::remove_all(root_ / "var", ignored);
    c.prepare(events_);
    EXPECT_EQ(EventReporter(EVENT_SERVICE_STARTED), 0) << c.name;
    EXPECT_EQ(EventReporter(EVENT_INIT_FAILED), 0) << c.name;

    platform::EventSource source;
    EXPECT_NE(source.Register(kEventSourceName), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(source.Report(platform::kEventlogInformationType, EVENT_INIT_FAILED),
              ERROR_INVALID_HANDLE)
        << c.name;
  }
}

TEST_F(EventReporterTest, SourceRefusesBadUse) {
  platform::EventSource source;
  EXPECT_EQ(source.Report(platform::kEventlogInformationType, EVENT_SERVICE_STARTED),
            ERROR_INVALID_HANDLE);
  ASSERT_EQ(source.Register(kEventSourceName), ERROR_SUCCESS);
  EXPECT_EQ(source.Report(3, EVENT_SERVICE_STARTED), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(source.Report(platform::kEventlogErrorType, EVENT_INIT_FAILED), ERROR_SUCCESS);
  source.Deregister();
  EXPECT_EQ(source.Report(platform::kEventlogInformationType, EVENT_SERVICE_STARTED),
            ERROR_INVALID_HANDLE);
  const std::vector<std::string> lines = ReadLines(events_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" Quoril Error 0xC0000003 EVENT_INIT_FAILED "), std::string::npos);
}

TEST_F(EventReporterTest, ConcurrentReportersWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i)
        EventReporter(t % 2 == 0 ? EVENT_SOCKET_READ : EVENT_HOST_NAME);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> lines = ReadLines(events_);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEach));
  for (const std::string& line : lines) {
    Entry entry;
    EXPECT_TRUE(ParseEntry(line, entry)) << line;
    EXPECT_TRUE(entry.id == "0xC000000B" || entry.id == "0xC0000008") << line;
  }
}

}  // namespace
}  // namespace quoril
