#include "config/transfer_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/scratch_root.h"

namespace quoril {
namespace {

namespace fs = std::filesystem;

template <std::size_t N>
void SetText(std::array<char, N>& field, const std::string& text) {
  field.fill('\0');
  std::memcpy(field.data(), text.data(), std::min(text.size(), N - 1));
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsDigits(const std::string& text, std::initializer_list<std::size_t> at) {
  for (std::size_t i : at) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// "MM/DD/YY   HH:MM:SS" as the banners begin; answers the rest of `text` after it.
std::string SkipStamp(const std::string& text) {
  EXPECT_GE(text.size(), 19u);
  if (text.size() < 19) return "";
  const std::string stamp = text.substr(0, 19);
  EXPECT_TRUE(IsDigits(stamp, {0, 1, 3, 4, 6, 7, 11, 12, 14, 15, 17, 18})) << stamp;
  EXPECT_EQ(stamp.substr(2, 1) + stamp.substr(5, 1), "//") << stamp;
  EXPECT_EQ(stamp.substr(8, 3), "   ") << stamp;
  EXPECT_EQ(stamp.substr(13, 1) + stamp.substr(16, 1), "::") << stamp;
  return text.substr(19);
}

constexpr char kStarted[] = "   --- Quoril service started ---\r\n\r\n";
constexpr char kStopped[] = "   --- Quoril service stopped ---\r\n";

const std::string kHeader =
    "Status  Date       Time       Client Address    Local Address    Mode      Operation   "
    "Description                        File\r\n";

TransferLogEntry Entry(bool failed, const std::string& client, const std::string& local,
                       bool binary, int opcode, const std::string& description,
                       const std::string& path) {
  TransferLogEntry entry;
  entry.failed = failed;
  SetText(entry.date, "09/09/05");
  SetText(entry.time, "00:04:07");
  SetText(entry.clientText, client);
  SetText(entry.localText, local);
  entry.binary = binary;
  if (opcode >= 0) {
    entry.opcode = static_cast<std::uint16_t>(opcode);
    entry.opcodeSet = true;
  }
  SetText(entry.description, description);
  SetText(entry.fullPath, path);
  return entry;
}

class TransferLogTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseTransferLog(); }

  // What the configuration load does with logging on.
  bool Start(const fs::path& path, bool* isNewOut = nullptr) {
    bool isNew = false;
    const int opened = OpenTransferLog(path.c_str(), isNew);
    InitLogLock();
    WriteStartBanner(isNew);
    if (isNewOut != nullptr) *isNewOut = isNew;
    return opened == 1;
  }

  void Stop() {
    WriteStopBanner();
    CloseTransferLog();
  }

  std::string Events() { return ReadAll(dir_ / "var/log/quoril/events.log"); }

  // Events raised by a failed open go to the test's own events file.
  ScratchRoot scratch_{"quoril-log"};
  fs::path dir_ = scratch_.path();
  fs::path logPath_ = dir_ / "quorld.log";
};

TEST_F(TransferLogTest, NewFileHoldsBannerEmptyLineHeaderAndLines) {
  bool isNew = false;
  ASSERT_TRUE(Start(logPath_, &isNew));
  EXPECT_TRUE(isNew);
  WriteTransferLine(
      Entry(false, "10.1.2.3", "10.1.2.1", true, 1, "Transfer successful", "/tftp/boot.ini"));
  WriteTransferLine(
      Entry(true, "10.1.2.3", "10.1.2.1", false, 1, "File not found", "/tftp/missing.txt"));

  const std::string expectedLines =
      std::string("        ") + "09/09/05   " + "00:04:07   " + "10.1.2.3          " +
      "10.1.2.1         " + "octet     " + "read        " + "Transfer successful                " +
      "/tftp/boot.ini\r\n" + "E       " + "09/09/05   " + "00:04:07   " + "10.1.2.3          " +
      "10.1.2.1         " + "netascii  " + "read        " + "File not found                     " +
      "/tftp/missing.txt\r\n";
  EXPECT_EQ(SkipStamp(ReadAll(logPath_)), kStarted + kHeader + expectedLines);
  EXPECT_EQ(Events(), "");
}

TEST_F(TransferLogTest, StopAndSecondStartAppendWithoutHeader) {
  ASSERT_TRUE(Start(logPath_));
  WriteTransferLine(
      Entry(false, "10.1.2.3", "10.1.2.1", true, 1, "Transfer successful", "/tftp/boot.ini"));
  Stop();
  const std::string first = ReadAll(logPath_);
  const std::string line =
      std::string("        09/09/05   00:04:07   10.1.2.3          10.1.2.1         octet     ") +
      "read        Transfer successful                /tftp/boot.ini\r\n";
  ASSERT_GT(first.size(), 19u);
  const std::string head = first.substr(0, 19 + sizeof kStarted - 1 + kHeader.size());
  EXPECT_EQ(SkipStamp(head), kStarted + kHeader);
  // The stop banner follows an empty line.
  const std::string tail = first.substr(head.size());
  ASSERT_EQ(tail.substr(0, line.size() + 2), line + "\r\n");
  EXPECT_EQ(SkipStamp(tail.substr(line.size() + 2)), kStopped);

  bool isNew = true;
  ASSERT_TRUE(Start(logPath_, &isNew));
  EXPECT_FALSE(isNew);
  const std::string second = ReadAll(logPath_);
  ASSERT_EQ(second.substr(0, first.size()), first);
  EXPECT_EQ(SkipStamp(second.substr(first.size())), kStarted);
}

TEST_F(TransferLogTest, ExistingContentIsKeptAndAppendedTo) {
  { std::ofstream(logPath_, std::ios::binary) << "older text\r\n"; }
  bool isNew = true;
  ASSERT_TRUE(Start(logPath_, &isNew));
  EXPECT_FALSE(isNew);
  const std::string text = ReadAll(logPath_);
  ASSERT_EQ(text.substr(0, 12), "older text\r\n");
  EXPECT_EQ(SkipStamp(text.substr(12)), kStarted);
}

struct LineCase {
  const char* name;
  TransferLogEntry entry;
  std::string expected;
};

TEST_F(TransferLogTest, LinesHaveFixedColumns) {
  const std::string name259 = "/" + std::string(258, 'n');
  const std::vector<LineCase> cases = {
      {"illegal opcode", Entry(true, "10.1.2.3", "10.1.2.1", false, 7, "Illegal opcode", ""),
       std::string("E       09/09/05   00:04:07   10.1.2.3          10.1.2.1         netascii  ") +
           "write       Illegal opcode                     \r\n"},
      {"timeout",
       Entry(true, "192.168.100.200", "192.168.100.201", true, 2,
             "Timeout; max. retransmits reached", "/srv/x"),
       std::string("E       09/09/05   00:04:07   192.168.100.200   192.168.100.201  octet     ") +
           "write       Timeout; max. retransmits reached  /srv/x\r\n"},
      {"description of 37 cut to 35",
       Entry(false, "1.2.3.4", "5.6.7.8", true, 1, "abcdefghijklmnopqrstuvwxyz0123456789!", "/a"),
       std::string("        09/09/05   00:04:07   1.2.3.4           5.6.7.8          octet     ") +
           "read        abcdefghijklmnopqrstuvwxyz012345678/a\r\n"},
      {"never set fields stay blank", TransferLogEntry{},
       std::string("E") + std::string(64, ' ') + "netascii" + std::string(49, ' ') + "\r\n"},
      {"control characters in a name cannot break the line",
       Entry(true, "1.2.3.4", "5.6.7.8", false, 1, "File not found", "/a\r\nE  forged\tz"),
       std::string("E       09/09/05   00:04:07   1.2.3.4           5.6.7.8          netascii  ") +
           "read        File not found                     /a??E  forged?z\r\n"},
      {"an address that leaves no space after it moves the later columns",
       Entry(false, "2001:db8::1:2:3:45", "::1", true, 1, "Transfer successful", "/a"),
       std::string("        09/09/05   00:04:07   2001:db8::1:2:3:45 ::1              octet     ") +
           "read        Transfer successful                /a\r\n"},
      {"IPv6 addresses are shown whole, each followed by one space",
       Entry(false, "2001:db8:1111:2222:3333:4444:5555:6666", "fe80::1111:2222:3333:4444%eth0",
             true, 2, "Transfer successful", name259),
       std::string("        09/09/05   00:04:07   2001:db8:1111:2222:3333:4444:5555:6666 ") +
           "fe80::1111:2222:3333:4444%eth0 octet     write       Transfer successful" +
           std::string(16, ' ') + name259 + "\r\n"},
      {"file name of 259 characters",
       Entry(false, "1.2.3.4", "5.6.7.8", true, 1, "Transfer successful", name259),
       std::string("        09/09/05   00:04:07   1.2.3.4           5.6.7.8          octet     ") +
           "read        Transfer successful                " + name259 + "\r\n"},
  };
  ASSERT_TRUE(Start(logPath_));
  const std::size_t before = ReadAll(logPath_).size();
  std::size_t offset = before;
  for (const LineCase& c : cases) {
    WriteTransferLine(c.entry);
    const std::string text = ReadAll(logPath_);
    ASSERT_GE(text.size(), offset) << c.name;
    EXPECT_EQ(text.substr(offset), c.expected) << c.name;
    offset = text.size();
  }
  EXPECT_EQ(cases.back().expected.size(), 383u);
  EXPECT_EQ(cases[3].expected.size(), 124u);
}

TEST_F(TransferLogTest, LoggingOffTouchesNoFile) {
  InitLogLock();
  WriteStartBanner(true);
  WriteTransferLine(Entry(false, "1.2.3.4", "5.6.7.8", true, 1, "Transfer successful", "/a"));
  WriteLog("text\r\n");
  WriteStopBanner();
  CloseTransferLog();
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(TransferLogTest, WritesAfterCloseAreHarmless) {
  ASSERT_TRUE(Start(logPath_));
  Stop();
  const std::string closed = ReadAll(logPath_);
  // A transfer that outlived the shutdown.
  WriteTransferLine(Entry(true, "1.2.3.4", "5.6.7.8", true, 1, "Transfer successful", "/a"));
  WriteLog("late\r\n");
  CloseTransferLog();
  EXPECT_EQ(ReadAll(logPath_), closed);
}

TEST_F(TransferLogTest, OpenFailuresReportLogFileAccess) {
  struct Case {
    const char* name;
    std::string logFile;
  };
  const std::vector<Case> cases = {
      {"missing directory", (dir_ / "missing" / "quorld.log").string()},
      {"a directory", dir_.string()},
      {"full path longer than 259", (dir_ / std::string(300, 'x')).string()},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "var/log/quoril/events.log");
    bool isNew = true;
    EXPECT_EQ(OpenTransferLog(c.logFile.c_str(), isNew), 0) << c.name;
    const std::string events = Events();
    EXPECT_NE(events.find(" 0xC0000004 EVENT_LOG_FILE_ACCESS "), std::string::npos) << c.name;
    EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1) << c.name;
  }
}

TEST_F(TransferLogTest, OtherWritersAreRefusedReadersAdmitted) {
  ASSERT_TRUE(Start(logPath_));
  platform::File reader;
  EXPECT_EQ(reader.Open(logPath_.c_str(), platform::kGenericRead,
                        platform::kShareRead | platform::kShareWrite, platform::kOpenExisting),
            ERROR_SUCCESS);
  platform::File writer;
  EXPECT_EQ(writer.Open(logPath_.c_str(), platform::kGenericWrite,
                        platform::kShareRead | platform::kShareWrite, platform::kOpenExisting),
            ERROR_SHARING_VIOLATION);
}

TEST_F(TransferLogTest, LogHeldForWritingFailsTheOpen) {
  platform::File holder;
  ASSERT_EQ(holder.Open(logPath_.c_str(), platform::kGenericWrite, platform::kShareNone,
                        platform::kOpenAlways),
            ERROR_SUCCESS);
  bool isNew = true;
  EXPECT_EQ(OpenTransferLog(logPath_.c_str(), isNew), 0);
  EXPECT_NE(Events().find(" 0xC0000004 EVENT_LOG_FILE_ACCESS "), std::string::npos);
}

TEST_F(TransferLogTest, ParallelTransfersWriteWholeLines) {
  ASSERT_TRUE(Start(logPath_));
  const std::size_t before = ReadAll(logPath_).size();
  constexpr int kThreads = 100;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i] {
      // Names of different lengths, so that a split line could not pass for a whole one.
      const std::string path = "/files/" + std::to_string(i) + std::string(i * 2, 'p');
      WriteTransferLine(Entry(i % 2 == 1, "10.0.0." + std::to_string(i), "10.0.0.254", true, 1,
                              "Transfer successful", path));
    });
  }
  for (std::thread& t : threads) t.join();

  std::istringstream lines(ReadAll(logPath_).substr(before));
  std::set<std::string> paths;
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_GE(line.size(), 123u);
    ASSERT_EQ(line.back(), '\r');
    const std::string path = line.substr(122, line.size() - 123);
    const int i = std::stoi(path.substr(7));
    EXPECT_EQ(path, "/files/" + std::to_string(i) + std::string(i * 2, 'p'));
    EXPECT_EQ(line.substr(30, 18), ("10.0.0." + std::to_string(i)).append(18, ' ').substr(0, 18));
    EXPECT_EQ(line[0], i % 2 == 1 ? 'E' : ' ');
    paths.insert(path);
  }
  EXPECT_EQ(count, kThreads);
  EXPECT_EQ(paths.size(), static_cast<std::size_t>(kThreads));
}

TEST(FormatDateTimeTest, TwoDigitFields) {
  struct Case {
    platform::LocalTime moment;
    const char* date;
    const char* time;
  };
  const Case cases[] = {
      {{2005, 9, 9, 0, 4, 7}, "09/09/05", "00:04:07"},
      {{1999, 12, 31, 23, 59, 59}, "12/31/99", "23:59:59"},
      {{2000, 1, 1, 0, 0, 0}, "01/01/00", "00:00:00"},
      {{2107, 10, 20, 10, 30, 45}, "10/20/07", "10:30:45"},
  };
  for (const Case& c : cases) {
    DateText date;
    date.fill('#');
    TimeText time;
    time.fill('#');
    EXPECT_EQ(FormatDate(date, c.moment), date.data());
    EXPECT_EQ(FormatTime(time, c.moment), time.data());
    EXPECT_EQ(std::string(date.data(), date.size()), std::string(c.date, 9));
    EXPECT_EQ(std::string(time.data(), time.size()), std::string(c.time, 9));
  }
}

TEST(FormatAddressTextTest, DottedDecimalOfEachByteInWireOrder) {
  struct Case {
    std::array<std::uint8_t, 4> bytes;  // as on the wire
    const char* text;
  };
  const Case cases[] = {
      {{127, 0, 0, 1}, "127.0.0.1"},
      {{0, 0, 0, 0}, "0.0.0.0"},
      {{255, 255, 255, 255}, "255.255.255.255"},
      {{10, 1, 2, 3}, "10.1.2.3"},
      {{192, 168, 100, 9}, "192.168.100.9"},
      {{1, 20, 199, 250}, "1.20.199.250"},
      {{100, 10, 101, 110}, "100.10.101.110"},
  };
  for (const Case& c : cases) {
    std::uint32_t address = 0;
    std::memcpy(&address, c.bytes.data(), 4);
    AddressText text;
    text.fill('#');
    EXPECT_EQ(FormatAddressText(address, text), text.data());
    EXPECT_STREQ(text.data(), c.text);
  }
}

TEST(FormatDateTimeTest, LocalClockGivesWellFormedTexts) {
  TimeText time;
  DateText date;
  const std::string both = std::string(FormatDate(date)) + "   " + FormatTime(time);
  EXPECT_EQ(both.size(), 19u);
  EXPECT_EQ(SkipStamp(both), "");
}

}  // namespace
}  // namespace quoril
